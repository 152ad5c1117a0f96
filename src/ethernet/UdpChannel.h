#pragma once

#include "platform/Clock.h"
#include "platform/EventPump.h"
#include "platform/UdpSocket.h"
#include "platform/WindowView.h"
#include "state/UdpState.h"

namespace kestrel {

// The UDP command channel: command datagrams to the drive and the receive
// dispatcher that sorts every arriving datagram into UdpState.
class UdpChannel {
public:
    UdpChannel(UdpSocket& socket, Clock& clock, EventPump& pump, WindowView& view, UdpState& state)
        : socket_(socket), clock_(clock), pump_(pump), view_(view), state_(state) {}

    void Winsock1_DataArrival();

private:
    UdpSocket& socket_;
    Clock& clock_;
    EventPump& pump_;
    WindowView& view_;
    UdpState& state_;
};

}  // namespace kestrel
