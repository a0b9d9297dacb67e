"use strict";

// The chat page: one WebSocket to the server that served it, where each
// binary message is one message of the chat protocol in Latin-1.

const longestNickname = 64; // the server cuts longer nicknames there
const longestMessage = 64 * 1024; // the server cuts off a client that sends more at once
const keptLines = 500; // older lines leave the page, so memory stays bounded
const shownCharacters = 10000; // per line; a 1 MiB line shows its start
const rosterSettleMs = 300; // rows of one roster broadcast come together

// The page's elements by id, "join-error" as ui.joinError.
const ui = Object.fromEntries([
    "status", "join", "nickname", "join-error", "room", "messages", "roster", "roster-count",
    "closed", "closed-reason", "reconnect", "compose", "message", "send", "message-error",
].map((id) => [id.replace(/-(\w)/g, (_, letter) => letter.toUpperCase()), document.getElementById(id)]));

// --- Latin-1, one byte per character, by hand: the browser's "latin1"
// decoder is windows-1252, which maps 0x80-0x9f elsewhere.

function decodeLatin1(buffer) {
    const bytes = new Uint8Array(buffer);
    const chunk = 8192; // stays under the engines' limit on arguments
    let text = "";
    for (let i = 0; i < bytes.length; i += chunk)
        text += String.fromCharCode.apply(null, bytes.subarray(i, i + chunk));
    return text;
}

// The first character of `text` that Latin-1 cannot hold, or null.
function firstNonLatin1(text) {
    for (const character of text) {
        if (character.codePointAt(0) > 0xff)
            return character;
    }
    return null;
}

function encodeLatin1(text) {
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i)
        bytes[i] = text.charCodeAt(i);
    return bytes;
}

function describeCharacter(character) {
    const code = character.codePointAt(0).toString(16).toUpperCase().padStart(4, "0");
    return `"${character}" (U+${code})`;
}

// --- What the page shows. Everything goes in as text, never as markup.

function appendToLog(item) {
    const log = ui.messages;
    const follow = log.scrollHeight - log.scrollTop - log.clientHeight < 40;
    ui.messages.append(item);
    while (log.childElementCount > keptLines)
        log.firstElementChild.remove();
    if (follow)
        log.scrollTop = log.scrollHeight;
}

function showLine(text) {
    const item = document.createElement("li");
    const shown = text.length > shownCharacters
        ? `${text.slice(0, shownCharacters)} … (${text.length - shownCharacters} more characters)`
        : text;
    // A line formatted as nickname, ":  ", text shows its nickname apart.
    const colon = shown.indexOf(":  ");
    if (colon > 0 && colon <= longestNickname) {
        const speaker = document.createElement("span");
        speaker.className = "nick";
        speaker.textContent = shown.slice(0, colon);
        item.append(speaker, shown.slice(colon));
        if (session.joined && speaker.textContent === session.nickname)
            item.classList.add("own");
    } else {
        item.textContent = shown;
    }
    appendToLog(item);
}

function showNotice(text) {
    const item = document.createElement("li");
    item.className = "notice";
    item.textContent = text;
    appendToLog(item);
}

// --- The roster. A broadcast is "NEWLIST", an event ("NEWUSER:" + name, or
// "QUIT"), then "USER:" + name per row; rows overwrite the list in place and
// the rest is cut once the broadcast is over: at the next other message, or
// when no row has come for a moment.

const roster = {
    phase: "lines", // "event" right after NEWLIST, "rows" while rows come
    rows: 0, // rows of the current broadcast so far
    before: null, // the names before a departure, to tell who left
    settle: 0,
};

function rosterNames() {
    return Array.from(ui.roster.children, (item) => item.textContent);
}

function startRows(before) {
    roster.phase = "rows";
    roster.rows = 0;
    roster.before = before;
    clearTimeout(roster.settle);
    roster.settle = setTimeout(finishRows, rosterSettleMs);
}

function addRow(name) {
    const existing = ui.roster.children[roster.rows];
    if (existing) {
        existing.textContent = name;
    } else {
        const item = document.createElement("li");
        item.textContent = name;
        ui.roster.append(item);
    }
    ++roster.rows;
    ui.rosterCount.textContent = String(ui.roster.childElementCount);
    clearTimeout(roster.settle);
    roster.settle = setTimeout(finishRows, rosterSettleMs);
}

function finishRows() {
    clearTimeout(roster.settle);
    if (roster.phase !== "rows")
        return;
    roster.phase = "lines";
    while (ui.roster.childElementCount > roster.rows)
        ui.roster.lastElementChild.remove();
    ui.rosterCount.textContent = String(roster.rows);
    if (roster.before)
        announceDepartures(roster.before, rosterNames());
    roster.before = null;
}

// Who is in `before` and not in `after`, counting each name as often as it is listed.
function announceDepartures(before, after) {
    const remaining = new Map();
    for (const name of after)
        remaining.set(name, (remaining.get(name) || 0) + 1);
    for (const name of before) {
        const count = remaining.get(name) || 0;
        if (count > 0)
            remaining.set(name, count - 1);
        else
            showNotice(`${name} left`);
    }
}

function clearRoster() {
    roster.phase = "lines";
    roster.before = null;
    clearTimeout(roster.settle);
    ui.roster.replaceChildren();
    ui.rosterCount.textContent = "0";
}

// One message from the server, after the greeting. What does not fit a
// roster broadcast where it stands is a chat line.
function receive(text) {
    if (roster.phase === "event") {
        if (text.startsWith("NEWUSER:")) {
            joined(text.slice("NEWUSER:".length));
            startRows(null);
            return;
        }
        if (text === "QUIT") {
            startRows(rosterNames());
            return;
        }
        roster.phase = "lines";
        showLine("NEWLIST");
    }
    if (roster.phase === "rows") {
        if (text.startsWith("USER:")) {
            addRow(text.slice("USER:".length));
            return;
        }
        finishRows();
    }
    if (text === "NEWLIST")
        roster.phase = "event";
    else
        showLine(text);
}

// --- The session: nickname, socket, join and close.

const session = {
    nickname: "",
    socket: null,
    greeted: false,
    joined: false,
};

function joined(name) {
    if (!session.joined && session.greeted && name === session.nickname) {
        session.joined = true;
        ui.status.textContent = `Connected as ${name}`;
        showNotice(`You joined as ${name}`);
        setComposing(true);
        ui.message.focus();
    } else {
        showNotice(`${name} joined`);
    }
}

function setComposing(enabled) {
    ui.message.disabled = !enabled;
    ui.send.disabled = !enabled;
}

function closeReason(event) {
    if (event.reason)
        return event.reason;
    const known = {
        1000: "the server closed it",
        1001: "the server stopped",
        1006: "the server could not be reached or the connection was lost",
        1008: "the server refused it",
        1009: "a message was too long for the server",
        1011: "the server met an error",
    };
    return known[event.code] || `code ${event.code}`;
}

function connect() {
    session.greeted = false;
    session.joined = false;
    clearRoster();
    setComposing(false);
    ui.closed.hidden = true;
    ui.status.textContent = `Connecting as ${session.nickname}…`;

    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    const socket = new WebSocket(`${scheme}${location.host}/chat`);
    socket.binaryType = "arraybuffer";
    session.socket = socket;

    socket.addEventListener("message", (event) => {
        if (typeof event.data === "string")
            return; // the server sends bytes only
        const text = decodeLatin1(event.data);
        if (!session.greeted && text === "NICK") {
            session.greeted = true;
            ui.status.textContent = `Joining as ${session.nickname}…`;
            socket.send(encodeLatin1(`USER:${session.nickname}`));
        } else {
            receive(text);
        }
    });
    socket.addEventListener("close", (event) => {
        if (session.socket !== socket)
            return;
        session.socket = null;
        const reason = `Connection closed: ${closeReason(event)}.`;
        ui.status.textContent = "Disconnected";
        showNotice(reason);
        clearRoster();
        setComposing(false);
        ui.closedReason.textContent = reason;
        ui.closed.hidden = false;
        ui.reconnect.focus();
    });
}

// Why `name` cannot be a nickname, or "".
function nicknameProblem(name) {
    if (name === "")
        return "Enter a nickname.";
    const character = firstNonLatin1(name);
    if (character)
        return `${describeCharacter(character)} is not a Latin-1 character; choose another nickname.`;
    // The server reads a message starting with these as a probe or a join, so
    // every line sent under such a name would be lost.
    if (name.startsWith("SCAN") || name.startsWith("USER"))
        return "A nickname cannot start with SCAN or USER: the server would read your lines as commands.";
    return "";
}

// Why `line` cannot be sent, or "".
function lineProblem(line) {
    const character = firstNonLatin1(line);
    if (character)
        return `${describeCharacter(character)} is not a Latin-1 character. Remove it and send again.`;
    if (line.length > longestMessage) {
        return `the line is ${line.length.toLocaleString("en")} characters long with your nickname; `
            + `the server takes at most ${longestMessage.toLocaleString("en")}.`;
    }
    return "";
}

ui.join.addEventListener("submit", (event) => {
    event.preventDefault();
    const name = ui.nickname.value.slice(0, longestNickname);
    const problem = nicknameProblem(name);
    ui.joinError.textContent = problem;
    ui.nickname.setAttribute("aria-invalid", String(problem !== ""));
    if (problem) {
        ui.nickname.focus();
        return;
    }
    session.nickname = name;
    ui.join.hidden = true;
    ui.room.hidden = false;
    connect();
});

ui.compose.addEventListener("submit", (event) => {
    event.preventDefault();
    const text = ui.message.value;
    if (text === "" || !session.joined)
        return;
    const line = `${session.nickname}:  ${text}`;
    const problem = lineProblem(line);
    if (problem) {
        ui.messageError.textContent = `Not sent: ${problem}`;
        ui.message.setAttribute("aria-invalid", "true");
        return;
    }
    session.socket.send(encodeLatin1(line));
    ui.message.value = "";
});

ui.message.addEventListener("input", () => {
    if (ui.messageError.textContent === "")
        return;
    ui.messageError.textContent = "";
    ui.message.setAttribute("aria-invalid", "false");
});

ui.reconnect.addEventListener("click", connect);

ui.nickname.focus();
