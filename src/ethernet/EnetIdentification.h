#pragma once

#include <QByteArrayView>
#include <QString>

#include "ethernet/UdpChannel.h"
#include "report/Reporter.h"
#include "state/DriveState.h"
#include "state/UdpState.h"

namespace kestrel {

// The minor-revision letter's code from two reply characters read as a
// hexadecimal number: blanks are skipped, reading stops at the first other
// non-digit, and no digit at all gives 0.
int hexCharacterCode(char high, char low);

// Asks the drive on Ethernet who it is (identity and minor revision) and
// shows the answer in the drive frame.
class EnetIdentification {
  public:
    struct Identity {
        bool answered = false;  // an identity reply of at least two bytes came
        int modelCode = 0;      // as received, also when the model table does not know it
        int revisionCode = 0;   // r of revision 1 + r / 100
        DriveShown shown;       // what the drive frame shows of the answer
    };

    EnetIdentification(UdpChannel& channel, const UdpState& udp, Reporter& report,
                       const Choices& choices, DriveState& drive)
        : channel_(channel), udp_(udp), report_(report), choices_(choices), drive_(drive) {}

    // The one exchange behind GetEnetDriveModel and CheckDrive: on a reply
    // it shows revision, model and description.
    Identity identify();
    // The model code from the identity reply, 0 when none came.
    int GetEnetDriveModel() { return identify().modelCode; }
    // Whether the drive answered with a model code other than 0.
    bool CheckDrive();
    // A blank and the minor-revision letter, or "" (also when the serial
    // link is chosen: then nothing is sent).
    QString GetMinorRev();

  private:
    UdpChannel& channel_;
    const UdpState& udp_;
    Reporter& report_;
    const Choices& choices_;
    DriveState& drive_;
};

}  // namespace kestrel
