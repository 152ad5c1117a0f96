#pragma once

#include <QString>

namespace kestrel {

enum class Link { Serial, Ethernet };

// The technician's choices: which link, which COM port list entry and which
// drive address. The session's input calls set them, and so do the rules that
// move a control the way code does (a failed opening falls back to "NO
// COMM"). The engines read them here, never back from what was shown.
struct Choices {
    Link link = Link::Serial;
    int portChoice = -1;  // CommList's entry: 0 is "NO COMM", -1 none yet
    QString address;      // txtIP's text, as typed
};

}  // namespace kestrel
