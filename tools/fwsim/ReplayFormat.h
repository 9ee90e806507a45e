// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Largest UDP payload over IPv4.
constexpr int MAX_UDP_PAYLOAD = 65507;

// One line of a replay file that does something: send a datagram or pause.
struct ReplayStep {
    enum class Kind { Datagram, Wait, WaitDiscover };
    Kind kind = Kind::Datagram;
    QByteArray datagram;
    int waitMs = 0;
    int line = 0;
};

struct ReplayError {
    int line = 0; // 0 when the error is not about one line (an unreadable file)
    QString message;
};

// Parses the whole text; on the first bad line returns false and fills `error`.
bool parseReplay(const QByteArray& text, QVector<ReplayStep>& steps, ReplayError& error);

// Reads and parses a file; `error.line` is 0 when the file cannot be read.
bool loadReplayFile(const QString& path, QVector<ReplayStep>& steps, ReplayError& error);

// Decodes the C-style escapes of one value (\\ \" \# \r \n \t \xHH); false with a message if malformed.
bool unescapeValue(const QByteArray& text, QByteArray& value, QString& message);

// The text of the replay format, shared by --help and the README.
QString replayFormatHelp();
