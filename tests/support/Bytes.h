#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
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

inline QByteArray datagram(int type, const QByteArray& payload = {}) {
    return bytes({type >> 8, type & 0xFF}) + payload;
}

// An image whose bytes all differ from their neighbours' (so a lost, doubled
// or shifted byte always shows), covering every byte value.
inline QByteArray testImage(int size) {
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i) {
        image[i] = static_cast<char>(i * 37 + i / 251);
    }
    return image;
}

// A firmware file: header "revision CR LF model CR LF", three filler bytes, image.
inline QByteArray firmwareFile(const QByteArray& image, const QByteArray& model = "55",
                               const QByteArray& revision = "1.06") {
    return revision + "\r\n" + model + "\r\nxyz" + image;
}
inline QByteArray firmware(const QByteArray& model, int imageSize,
                           const QByteArray& revision = "1.06") {
    return firmwareFile(testImage(imageSize), model, revision);
}

// In place: a file rewritten keeps its name; `modified` back-dates it.
inline bool writeFile(const QString& path, const QByteArray& content,
                      const QDateTime& modified = {}) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.flush() &&
           (!modified.isValid() || file.setFileTime(modified, QFileDevice::FileModificationTime));
}

}  // namespace kestrel::testing
