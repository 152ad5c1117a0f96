#pragma once

// What the fuzz targets share: the code they reach, their oracle and input.
#include <QBuffer>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Doubles.h"
#include "FirmwareFile.h"
#include "SimulatedDrive.h"
#include "ethernet/AddressRules.h"
#include "firmware/FirmwareHeader.h"
#include "flash/FlashOptions.h"
#include "serial/DrivePackets.h"

// A broken invariant is a finding, as a crash is: libFuzzer keeps the input.
#define FUZZ_CHECK(c) \
    ((c) ? void() : (std::fputs("invariant broken: " #c "\n", stderr), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Control bytes and payloads from the front of an input, then zeros and nothing.
struct FuzzInput {
    const uint8_t* data;
    size_t size, pos = 0;
    bool empty() const { return pos >= size; }
    uint8_t byte() { return empty() ? 0 : data[pos++]; }
    QByteArray take(size_t count) {
        count = std::min(count, size - pos);
        pos += count;
        return QByteArray(reinterpret_cast<const char*>(data + pos - count), qsizetype(count));
    }
};
