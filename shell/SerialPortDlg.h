#pragma once
// Port, baud rate, parity and the unit's SCP address for the serial link. Always
// opens with COM1, 115200, Even and 0; OK writes the settings record.

#include <QDialog>
#include <QString>
#include <memory>

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

private:
    QString m_strBaudRate;
    QString m_strParity;
    QString m_strPort;
    QString m_strScpAddr;
    ScpParams* m_pScpParams;
    std::unique_ptr<Ui::SerialPortDlg> m_pUi;
};
