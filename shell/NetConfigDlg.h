#pragma once
// The network parameters just read from the unit, edited in place before they are
// written back: addresses, port, timeout and the four keys. The serial number is
// shown only.

#include <QDialog>
#include <cstdint>
#include <memory>

struct NetParams;
class CDataExchange;
class QLineEdit;
namespace Ui {
class NetConfigDlg;
}

class CNetConfigDlg : public QDialog {
    Q_OBJECT
public:
    CNetConfigDlg(QWidget* pParent, NetParams* pNetParams, bool bAddressLock, bool bKeysEnabled,
                  uint32_t nSerialNo);
    ~CNetConfigDlg() override;

    void accept() override;

    // Eight key bytes as 16 hexadecimal digits, upper case, into the field.
    static void KeyToHex(QLineEdit* pField, const uint8_t* pKey);
    // The field's digits into eight bytes, zero where the text ends. A 0 digit or
    // a character that is no hexadecimal digit refuses the whole text: true, and
    // pKey keeps its value.
    static bool HexToKey(QLineEdit* pField, uint8_t* pKey);

private:
    void DoDataExchange(CDataExchange& dx);

    bool m_bKeysEnabled;
    NetParams* m_pNetParams;
    uint32_t m_anIp[4] = {};
    uint32_t m_nPort = 0;
    uint32_t m_anGateway[4] = {};
    uint32_t m_anMask[4] = {};
    uint32_t m_nTimeout = 0;
    uint32_t m_nSerialNo = 0;
    bool m_bAddressLock;
    std::unique_ptr<Ui::NetConfigDlg> m_pUi;
};
