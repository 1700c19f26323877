#pragma once
// Port, baud rate, parity and the unit's SCP address for the serial link. Always
// opens with COM1, 115200, Even and 0; OK writes the settings record. The port list
// offers the machine's serial ports after COM1 and COM2 under COM3..COM9, each with
// its device and description; OK makes those numbers open those devices.

#include <QDialog>
#include <QString>
#include <memory>
#include <vector>

#include "platform/SerialPorts.h"

struct ScpParams;
namespace Ui {
class SerialPortDlg;
}

class CSerialPortDlg : public QDialog {
    Q_OBJECT
public:
    CSerialPortDlg(QWidget* pParent, ScpParams* pScpParams);
    ~CSerialPortDlg() override;

    void accept() override;

    // Where the machine's ports come from (tests put their own list in); returns the
    // one it replaces.
    using FListPorts = std::vector<serialdev::SPortInfo> (*)();
    static FListPorts SetPortLister(FListPorts pfn);

private:
    void OfferMachinePorts();
    // Opens the Find window on the port in the field; the unit chosen there fills in
    // the baud rate, parity and SCP address.
    void OnFind();
    // "COM3" for the text of the entry offered as COM3; any other text as it is.
    QString OfferedPortName(const QString& strText) const;

    static FListPorts s_pfnListPorts;
    std::vector<serialdev::SPortOffer> m_offers;
    QString m_strBaudRate;
    QString m_strParity;
    QString m_strPort;
    QString m_strScpAddr;
    ScpParams* m_pScpParams;
    std::unique_ptr<Ui::SerialPortDlg> m_pUi;
};
