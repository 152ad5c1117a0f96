#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <QString>

#include "platform/UdpSocket.h"
#include "platform/Waits.h"
#include "report/Reporter.h"
#include "state/Choices.h"
#include "state/UdpState.h"

namespace kestrel {

// The UDP command channel: command datagrams to the drive at the address in
// txtIP, the short reply wait, and the receive dispatcher that sorts every
// arriving datagram into UdpState. Every datagram goes to the drive the
// channel is aimed at, and only that drive is listened to: a stray datagram
// from another host must neither redirect the image nor pass for the drive's
// acknowledgement, count or reply.
class UdpChannel {
  public:
    // How long a command waits for its reply, in seconds.
    static constexpr double ReplyWait = 0.1;

    UdpChannel(UdpSocket& socket, Waits& waits, Reporter& report, const Choices& choices,
               UdpState& state)
        : socket_(socket), waits_(waits), report_(report), choices_(choices), state_(state) {}

    // Sends one command datagram: the first byte of DCLletter, BytesBack,
    // then DCLdata from element 1 on (element 0 is a placeholder). Command
    // texts are bytes, since one command letter is 0x8E. Returns false when
    // nothing went out: silently when txtIP does not hold a valid address;
    // when the socket refuses the datagram, lastSendError() says why and the
    // status log shows it, so a technician can tell a refused send from a
    // drive that does not answer.
    bool UDPSendDCLpacket(QByteArrayView DCLletter, quint8 BytesBack, QByteArrayView DCLdata);

    // Sends the whole command text OutString and waits, delivering window
    // events, until UDPReplyData holds at least BytesBack bytes or ReplyWait
    // has passed. Judging the reply is the caller's. Returns false when the
    // command did not go out; a refused send returns at once.
    bool UDP_DCLcommand(QByteArrayView OutString, quint8 BytesBack);

    // The socket's data-arrival event. Datagrams from anyone but the drive
    // aimed at are dropped; the first from each stranger is named in the
    // status log.
    void Winsock1_DataArrival();

    // Takes the address in txtIP as the drive's. False, and aimed at nobody,
    // when it is not a valid address.
    bool aimAtDrive();
    // Sends one datagram to the drive aimed at; false when there is none or
    // the socket refuses it (`error` says why).
    bool sendToDrive(const QByteArray& datagram, QString* error = nullptr);

    // Why the socket refused the last command datagram; empty when the last
    // call did not reach the socket or the socket took it.
    QString lastSendError() const { return lastSendError_; }

  private:
    bool replyComplete(quint8 bytesBack) const;
    bool fromDrive(const QString& sender);
    void storeText(QByteArrayView text);

    UdpSocket& socket_;
    Waits& waits_;
    Reporter& report_;
    const Choices& choices_;
    UdpState& state_;
    QString lastSendError_;
    QString drive_;            // the address every datagram goes to; empty: none
    QSet<QString> strangers_;  // senders already named in the status log
};

}  // namespace kestrel
