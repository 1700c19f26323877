#pragma once
// The unit's IP address, UDP port and comm address, written into the network
// parameter record on OK. Opens with what the record holds.

#include <QDialog>
#include <cstdint>
#include <memory>

struct NetParams;
class CDataExchange;
namespace Ui {
class IpAddressDlg;
}

class CIpAddressDlg : public QDialog {
    Q_OBJECT
public:
    CIpAddressDlg(QWidget* pParent, NetParams* pNetParams);
    ~CIpAddressDlg() override;

    void accept() override;

private:
    void OnFind();
    void DoDataExchange(CDataExchange& dx);

    NetParams* m_pNetParams;
    uint32_t m_anOctet[4] = {};
    uint32_t m_nPort = 0;
    int32_t m_nCommAddr = 0;
    std::unique_ptr<Ui::IpAddressDlg> m_pUi;
};
