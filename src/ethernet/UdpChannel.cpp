#include "UdpChannel.h"

namespace kestrel {

// Until the channel's datagram types are handled, arriving datagrams are read
// and dropped so they do not pile up in the socket.
void UdpChannel::Winsock1_DataArrival() {
    const ReceivedDatagram d = socket_.readDatagram();
    socket_.setRemoteHost(d.sender);
}

}  // namespace kestrel
