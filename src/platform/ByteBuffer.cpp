#include "ByteBuffer.h"

#include <algorithm>

namespace kestrel {

int ByteArrayUBound(const ByteBuffer& buffer) {
    return static_cast<int>(buffer.size()) - 1;
}

int ByteArrayLBound(const ByteBuffer& buffer) {
    return buffer.isNull() ? -1 : 0;
}

bool IsByteArrayEmpty(const ByteBuffer& buffer) {
    return buffer.isEmpty();
}

void AppendBytes(ByteBuffer& destination, const ByteBuffer& source, int count) {
    if (count <= 0) {
        return;
    }
    destination.append(source.constData(), std::min<qsizetype>(count, source.size()));
}

QString BytesToString(const ByteBuffer& buffer, int start, int count) {
    if (ByteArrayLBound(buffer) == -1 || count <= 0) {
        return QString();
    }
    const qsizetype first = std::max(start, 0);
    const qsizetype end = std::min<qsizetype>(static_cast<qsizetype>(start) + count, buffer.size());
    if (first >= end) {
        return QString();
    }
    return QString::fromLatin1(buffer.constData() + first, end - first);
}

}  // namespace kestrel
