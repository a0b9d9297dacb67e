#pragma once

#include "network.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// What the program is asked to do by its arguments.
struct CommandLine {
    enum class Action { OpenWindow, ShowHelp, ShowVersion, Refuse };

    Action action = Action::OpenWindow;
    // Why the arguments were refused.
    QString error;
    std::optional<int> port;
    // The chat page's port; 0 serves no page.
    std::optional<int> webPort;
    std::optional<QString> nickname;
    // Only these networks may connect; empty: any.
    std::optional<std::vector<Network>> allowed;
    // Start the service at once, as if Start Server were pressed.
    bool start = false;
    // Serve without a window, as a service.
    bool headless = false;
};

// Parses the arguments, the program's name first. Needs no application
// object, so that a refusal or a request for the version opens no display.
CommandLine parseCommandLine(const QStringList& arguments);
// The text --help shows; needs the application object, for the program's name.
QString commandLineHelp();
