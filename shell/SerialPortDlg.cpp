#include "shell/SerialPortDlg.h"

#include <QAbstractItemView>
#include <QLineEdit>

#include "params/ScpParams.h"
#include "params/Texts.h"
#include "params/UnitStatus.h"
#include "platform/HexText.h"
#include "platform/SerialDevice.h"
#include "serial/SerlComm.h"
#include "shell/DataExchange.h"
#include "shell/DialogSetup.h"
#include "shell/FindSerialDlg.h"
#include "ui_SerialPortDlg.h"

namespace {
void Fill(QComboBox* pCombo, const QStringList& entries, int nDefault) {
    // What is typed stays as typed: no completion ("1" must not become "19200") and no
    // typed text added to the list.
    pCombo->setCompleter(nullptr);
    pCombo->setInsertPolicy(QComboBox::NoInsert);
    pCombo->clear();
    pCombo->addItems(entries);
    pCombo->setCurrentIndex(nDefault);
}

// The value of one hexadecimal digit, either case; -1 for anything else.
int HexDigit(const QString& str) {
    if (str.size() != 1) return -1;
    return HexDigitValue(str.at(0).toLatin1());
}
} // namespace

CSerialPortDlg::FListPorts CSerialPortDlg::s_pfnListPorts = serialdev::ListMachinePorts;

CSerialPortDlg::FListPorts CSerialPortDlg::SetPortLister(FListPorts pfn) {
    const FListPorts pfnOld = s_pfnListPorts;
    s_pfnListPorts = pfn;
    return pfnOld;
}

CSerialPortDlg::CSerialPortDlg(QWidget* pParent, ScpParams* pScpParams)
    : QDialog(pParent), m_pScpParams(pScpParams), m_pUi(std::make_unique<Ui::SerialPortDlg>()) {
    m_pUi->setupUi(this);
    SetupDialog(this);
    connect(m_pUi->IDOK, &QPushButton::clicked, this, &CSerialPortDlg::accept);
    connect(m_pUi->IDCANCEL, &QPushButton::clicked, this, &CSerialPortDlg::reject);
    connect(m_pUi->btnFind, &QPushButton::clicked, this, &CSerialPortDlg::OnFind);

    Fill(m_pUi->IDC_1047, {"COM1", "COM2"}, 0);
    QStringList bauds; // the unit's own table, in its order; 115200 first chosen
    for (const char* pszRate : UNIT_BAUD_RATES)
        bauds << pszRate;
    Fill(m_pUi->IDC_1044, bauds, 4);
    Fill(m_pUi->IDC_1045, {"None", "Even", "Odd"}, 1);
    Fill(m_pUi->IDC_1046,
         {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F"}, 0);
    OfferMachinePorts();
    // The port opens with the focus and its text selected, to be typed over.
    m_pUi->IDC_1047->lineEdit()->selectAll();
}

void CSerialPortDlg::OfferMachinePorts() {
    m_offers = serialdev::OfferMachinePorts(s_pfnListPorts());
    QComboBox* pCombo = m_pUi->IDC_1047;
    for (const serialdev::SPortOffer& offer : m_offers) {
        const QString strDevice = QString::fromStdString(offer.m_info.m_strDevice);
        pCombo->addItem(
            QString::fromStdString(txt::PortOffer(offer.m_nPort, offer.m_info.m_strDevice,
                                                  offer.m_info.m_strDescription)),
            offer.m_nPort);
        pCombo->setItemData(pCombo->count() - 1, strDevice, Qt::ToolTipRole);
    }
    if (m_offers.empty()) return;
    // The list shows the devices; the field keeps what the record holds, "COM3". An entry
    // picked again changes no index, so both signals count.
    const auto toNumber = [this] {
        QComboBox* pPort = m_pUi->IDC_1047;
        pPort->setEditText(OfferedPortName(pPort->currentText()));
    };
    connect(pCombo, &QComboBox::currentIndexChanged, this, toNumber);
    connect(pCombo, &QComboBox::activated, this, toNumber);
    pCombo->view()->setMinimumWidth(pCombo->view()->sizeHintForColumn(0) + 24);
}

QString CSerialPortDlg::OfferedPortName(const QString& strText) const {
    const int nIndex = m_pUi->IDC_1047->findText(strText, Qt::MatchExactly);
    const QVariant port = nIndex < 0 ? QVariant() : m_pUi->IDC_1047->itemData(nIndex);
    return port.isValid() ? QString("COM%1").arg(port.toInt()) : strText;
}

CSerialPortDlg::~CSerialPortDlg() = default;

void CSerialPortDlg::OnFind() {
    const QString strPort = OfferedPortName(m_pUi->IDC_1047->currentText().trimmed());
    const std::string strProblem = CSerlComm::PortNameProblem(strPort.toStdString());
    std::string strDevice;
    if (strProblem.empty()) {
        // The device the port would open once OK is pressed: an entry of the list
        // names its own, unless the environment says otherwise.
        const int nPort = strPort.at(3).digitValue();
        strDevice = serialdev::ResolvePort(nPort);
        const std::string strVar = "VELOR_COM" + std::to_string(nPort);
        const char* pEnv = std::getenv(strVar.c_str());
        for (const serialdev::SPortOffer& offer : m_offers)
            if (offer.m_nPort == nPort && !(pEnv && *pEnv)) strDevice = offer.m_info.m_strDevice;
    }
    const QString strParity = m_pUi->IDC_1045->currentText().trimmed().toLower();
    auto* pFind = new CFindSerialDlg(this, strPort, strDevice, QString::fromStdString(strProblem),
                                     m_pUi->IDC_1044->currentText().trimmed().toInt(),
                                     strParity.isEmpty() ? '\0' : strParity.at(0).toLatin1(),
                                     HexDigit(m_pUi->IDC_1046->currentText().trimmed()));
    pFind->setAttribute(Qt::WA_DeleteOnClose);
    connect(pFind, &QDialog::accepted, this, [this, pFind] {
        const std::optional<SScanHit>& hit = pFind->Chosen();
        if (!hit) return;
        m_pUi->IDC_1044->setEditText(QString::number(hit->m_nBaud));
        m_pUi->IDC_1045->setEditText(ParityName(hit->m_cParity));
        m_pUi->IDC_1046->setEditText(QString::number(hit->m_nAddr, 16).toUpper());
    });
    pFind->open();
}

void CSerialPortDlg::accept() {
    m_strBaudRate = m_pUi->IDC_1044->currentText();
    m_strParity = m_pUi->IDC_1045->currentText();
    // An offered entry's whole text, however it got into the field, means its number.
    m_pUi->IDC_1047->setEditText(OfferedPortName(m_pUi->IDC_1047->currentText()));
    m_strPort = m_pUi->IDC_1047->currentText();
    m_strScpAddr = m_pUi->IDC_1046->currentText();

    // A typed text longer than its field is refused: cut, "COM10" would name COM1.
    const std::string strPort = m_strPort.toStdString();
    const std::string strParity = m_strParity.toStdString();
    const std::string strBaud = m_strBaudRate.toStdString();
    const int nScpAddr = HexDigit(m_strScpAddr.trimmed());
    CDataExchange dx(this, CDataExchange::SAVE);
    const std::string strProblem = ScpParams::TextProblem(strPort, strParity, strBaud);
    if (!strProblem.empty()) {
        QComboBox* pField = strPort.size() > ScpParams::PORT_LEN       ? m_pUi->IDC_1047
                            : strParity.size() > ScpParams::PARITY_LEN ? m_pUi->IDC_1045
                                                                       : m_pUi->IDC_1044;
        dx.Fail(pField, strProblem);
    }
    if (nScpAddr < 0) dx.Fail(m_pUi->IDC_1046, txt::SCP_ADDR_NOT_HEX);
    if (dx.Failed()) return;

    *m_pScpParams = *ScpParams::Make(strPort, static_cast<uint32_t>(nScpAddr), strParity, strBaud);
    // Every number the list offered now opens its device, whether picked or typed;
    // one offered last time and not now opens its default device again.
    for (int n = serialdev::FIRST_OFFERED_PORT; n <= serialdev::LAST_OFFERED_PORT; ++n)
        serialdev::MapPort(n, {});
    for (const serialdev::SPortOffer& offer : m_offers)
        serialdev::MapPort(offer.m_nPort, offer.m_info.m_strDevice);
    QDialog::accept();
}
