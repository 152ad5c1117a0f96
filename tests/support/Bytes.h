#pragma once

#include <QByteArray>
#include <initializer_list>

namespace kestrel::testing {

// Bytes written as numbers, for packets and datagrams in tests.
inline QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values) {
        out.append(static_cast<char>(v));
    }
    return out;
}

}  // namespace kestrel::testing
