#pragma once

#include <QByteArray>
#include <QString>

namespace kestrel {

// Replies, packets and datagrams are plain byte arrays. A null QByteArray is
// the "never dimensioned" buffer, an empty non-null one the buffer made from
// an empty string; the helpers treat both as holding no bytes.
using ByteBuffer = QByteArray;

int ByteArrayUBound(const ByteBuffer& buffer);
int ByteArrayLBound(const ByteBuffer& buffer);
bool IsByteArrayEmpty(const ByteBuffer& buffer);
// Appends source bytes 0 to count - 1; a count beyond the source takes what
// the source holds, a count of 0 or less leaves the destination untouched.
void AppendBytes(ByteBuffer& destination, const ByteBuffer& source, int count);
// One character per byte (codes 0 to 255). Only bytes inside the buffer are
// read: a range reaching past either end yields the part inside it.
QString BytesToString(const ByteBuffer& buffer, int start, int count);

}  // namespace kestrel
