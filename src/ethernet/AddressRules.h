#pragma once

#include <QByteArray>
#include <QString>

namespace kestrel {

// The check that txtIP passes before anything is sent to it. Deliberately
// permissive, as the drive's users have always typed it: fewer than three
// dots and an empty first group pass; an empty group after the first dot
// (between two dots or at the very end after a third dot) and any group
// above 255 do not. Digits after a fourth or later dot run on in the fourth
// group.
bool ValidIP(const QString& IPaddress);

// An address of four decimal groups in plain dotted decimal ("127.0.0.01"
// is 127.0.0.1, never an octal reading); any other text as it is. Senders'
// addresses come from the socket in this form.
QString plainAddress(const QString& text);

// A MAC address as the Ping answer shows it: each byte in upper-case hex
// without leading zeros, joined by "-" (0-11-A-FF-2B-3).
QString FormatMacId(const QByteArray& mac);

// What the Ping button tells the user about the drive's answer (the payload
// of its type-99 datagram): its build number, and its MAC when the answer
// carries one.
QString PingAnswerMessage(const QByteArray& answer);

}  // namespace kestrel
