#pragma once
// The unit's own serial-port settings and two options, kept in bytes 24, 25 and 28
// of its parameter block: edited in place, written on OK only.

#include <QDialog>
#include <cstdint>
#include <memory>

class CDataExchange;
namespace Ui {
class UnitPropertiesDlg;
}

class CUnitPropertiesDlg : public QDialog {
    Q_OBJECT
public:
    // pBlock: a parameter block in record layout (at least 29 bytes).
    CUnitPropertiesDlg(QWidget* pParent, uint8_t* pBlock, uint32_t nSerialNo);
    ~CUnitPropertiesDlg() override;

    void accept() override;

private:
    void DoDataExchange(CDataExchange& dx);

    bool m_bAutoBackup = false;
    bool m_bCts = false;
    bool m_bDialUp = false;
    bool m_bEncryption = false;
    bool m_bParityOff = false;
    int32_t m_nCommAddr = 0;
    uint32_t m_nSerialNo;
    uint8_t m_nByte28;
    uint8_t m_nByte25;
    uint8_t m_nByte24;
    uint8_t* m_pBlock;
    uint8_t m_nBaudCode = 0;
    std::unique_ptr<Ui::UnitPropertiesDlg> m_pUi;
};
