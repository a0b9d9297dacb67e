#pragma once

#include "access_rules.h"
#include "list_model.h"
#include "roster_selection.h"
#include "transcript_store.h"
#include "transcript_view.h"

// Everything the server knows, shown as it is by the window.
//
// RelayEngine (relay_engine.h) holds the handlers that read and write this
// state in place. It meets the operator only through OperatorConsole
// (operator_console.h: the window, or the journal when headless) and the
// sockets only through SlotArray (slot_array.h): slots/ provides the slot
// array over epoll, and console/ the main window, which shows the lists
// through its views. app/ builds them all and joins them (server_program.h).
//
// The roster is the four parallel lists Users, Users2, Ip and connection: row i
// of each describes the same user, and every change appends to all four,
// removes the same row from all four, or clears all four.
//
// Names kept from the form the server was first drawn as, so that handlers,
// controls and lists can be found by the names its users and tests know:
// - handlers are control_Event: Form_Load, cmdStart_Click, Server_DataArrival
//   (Server is the slot array), mnuAfsluiten_Click (File > Quit);
// - controls carry type prefixes: cmd buttons, lbl labels, txt text boxes,
//   cmb combo boxes, mnu menu items, frm the window; lists have plain names;
// - Dutch: connectie (the slot counter below), Overzicht (the tabs), Bestand
//   (the File menu), Afsluiten (quit);
// - list operations as the list boxes had them: AddItem, RemoveItem, List,
//   ListCount, ListIndex, ItemData, NewIndex, and ListPrefix beside them;
//   the slot array's Bind, Listen, Accept, SendData, GetData, State, DoEvents
//   and sck states; the printer's StartDoc, Print, EndDoc and AbortDoc; the
//   save dialog's ShowSave.
// A connection (ClientConnection) is one client's socket in slots/; the
// connection list is the roster's column of slot numbers.
struct ServerState {
    // Highest slot number handed out so far, and the bound of every loop over
    // slots. Never decremented, not reset by a stop.
    int connectie = 0;
    // The port of the last start attempt.
    int port = 0;

    ListModel cmbPort; // the port choices "1" to "100"

    ListModel Users; // nicknames; item data = slot number (0: the operator)
    ListModel Users2; // the same nicknames, shown beside the chat
    ListModel Ip; // dotted IP addresses
    ListModel connection; // slot numbers as text ("0" for the operator)
    RosterSelection userSelection { Users, Ip };

    // Both transcripts get every line, so one store on disk holds them; each
    // shows it from where it was last cleared.
    TranscriptStore transcript;
    TranscriptView Messages { transcript }; // the chat transcript
    TranscriptView Log { transcript }; // the same lines: the log that is saved and printed

    AccessRules rules; // who may connect
};
