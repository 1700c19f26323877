#include "shell/FindUnitsDlg.h"

#include <algorithm>
#include <arpa/inet.h>

#include "discovery/UdpScan.h"
#include "ui_FindUnitsDlg.h"

namespace {
constexpr uint64_t WIDEST_RANGE = 65536;         // a /16: wider takes minutes
constexpr uint32_t FIRST_UNICAST = 0x01000000;   // 0.x.x.x names this host's network
constexpr uint32_t FIRST_MULTICAST = 0xE0000000; // 224.0.0.0 upwards holds no unit
constexpr uint32_t LOOPBACK_NET = 0x7F000000;

bool ParseIp(const QString& str, uint32_t& nIp) {
    in_addr addr{};
    const QByteArray text = str.trimmed().toLatin1();
    if (inet_pton(AF_INET, text.constData(), &addr) != 1) return false;
    nIp = ntohl(addr.s_addr);
    return true;
}

QString Dotted(uint32_t nIp) {
    return QString("%1.%2.%3.%4")
        .arg(nIp >> 24)
        .arg((nIp >> 16) & 0xFF)
        .arg((nIp >> 8) & 0xFF)
        .arg(nIp & 0xFF);
}

} // namespace

QString DefaultScanRange(uint32_t nIp) {
    if (nIp == 0) {
        std::vector<uint32_t> networks, broadcasts;
        LocalNetworkEdges(networks, broadcasts);
        for (uint32_t n : networks)
            if ((n & 0xFF000000) != LOOPBACK_NET && n >= FIRST_UNICAST && n < FIRST_MULTICAST) {
                nIp = n;
                break;
            }
        if (nIp == 0) nIp = 0xC0A80000; // 192.168.0.0
    }
    return Dotted(nIp & 0xFFFFFF00) + "/24";
}

CFindUnitsDlg::CFindUnitsDlg(QWidget* pParent, uint32_t nIp, uint16_t nPort, int nCommAddr)
    : CScanWindow(pParent), m_pUi(std::make_unique<Ui::FindUnitsDlg>()) {
    m_pUi->setupUi(this);
    Attach({m_pUi->btnStart,
            m_pUi->btnStop,
            m_pUi->btnUse,
            m_pUi->btnClose,
            m_pUi->progress,
            m_pUi->lblStatus,
            m_pUi->tblUnits,
            {m_pUi->edRange, m_pUi->edPort, m_pUi->cboCommAddr}});
    m_pUi->edRange->setText(DefaultScanRange(nIp));
    m_pUi->edPort->setText(QString::number(nPort));
    m_pUi->cboCommAddr->addItem("all");
    for (int n = 0; n <= 15; ++n)
        m_pUi->cboCommAddr->addItem(QString::number(n));
    m_pUi->cboCommAddr->setCurrentIndex(nCommAddr >= 0 && nCommAddr <= 15 ? nCommAddr + 1 : 1);
}

CFindUnitsDlg::~CFindUnitsDlg() = default;

bool CFindUnitsDlg::PlanFromFields(SUdpScanPlan& plan, QString& strError) const {
    plan = SUdpScanPlan{};
    const QString strRange = m_pUi->edRange->text().trimmed();
    const QString strForm = "Enter the range as NET/PREFIX (192.168.0.0/24) or FIRST-LAST "
                            "(10.0.0.20-10.0.0.80).";
    int nPrefix = -1;
    if (const qsizetype nSlash = strRange.indexOf('/'); nSlash >= 0) {
        uint32_t nNet = 0;
        bool bOk = false;
        nPrefix = strRange.mid(nSlash + 1).toInt(&bOk);
        if (!ParseIp(strRange.left(nSlash), nNet) || !bOk || nPrefix < 0 || nPrefix > 32)
            return strError = strForm, false;
        const uint32_t nMask = nPrefix == 0 ? 0 : ~uint32_t{0} << (32 - nPrefix);
        plan.m_nFirst = nNet & nMask;
        plan.m_nLast = plan.m_nFirst | ~nMask;
    } else if (const qsizetype nDash = strRange.indexOf('-'); nDash >= 0) {
        if (!ParseIp(strRange.left(nDash), plan.m_nFirst) ||
            !ParseIp(strRange.mid(nDash + 1), plan.m_nLast))
            return strError = strForm, false;
        if (plan.m_nFirst > plan.m_nLast)
            return strError = "The first address of the range must come before the last.", false;
    } else {
        if (!ParseIp(strRange, plan.m_nFirst)) return strError = strForm, false;
        plan.m_nLast = plan.m_nFirst;
    }
    if (plan.m_nFirst < FIRST_UNICAST || plan.m_nLast >= FIRST_MULTICAST)
        return strError = "Units have addresses between 1.0.0.0 and 223.255.255.255.", false;
    if (uint64_t{plan.m_nLast} - plan.m_nFirst + 1 > WIDEST_RANGE)
        return strError = "Enter a range of at most 65536 addresses (a /16).", false;

    bool bOk = false;
    const uint32_t nPort = m_pUi->edPort->text().trimmed().toUInt(&bOk);
    if (!bOk || nPort < 1 || nPort > 65535)
        return strError = "Enter a port number between 1 and 65535.", false;
    plan.m_nPort = static_cast<uint16_t>(nPort);

    const QString strAddr = m_pUi->cboCommAddr->currentText().trimmed();
    if (strAddr.compare("all", Qt::CaseInsensitive) == 0) {
        plan.m_commAddrs.clear();
        for (uint8_t n = 0; n <= 15; ++n)
            plan.m_commAddrs.push_back(n);
    } else {
        const int nAddr = strAddr.toInt(&bOk);
        if (!bOk || nAddr < 0 || nAddr > 15)
            return strError = "Enter a comm address between 0 and 15, or all.", false;
        plan.m_commAddrs = {static_cast<uint8_t>(nAddr)};
    }

    // A network of more than two addresses starts with its own address and ends with
    // its broadcast address, and neither is a unit's; nor are the machine's networks'.
    if (nPrefix >= 0 && nPrefix <= 30) plan.m_skip = {plan.m_nFirst, plan.m_nLast};
    std::vector<uint32_t> networks, broadcasts;
    LocalNetworkEdges(networks, broadcasts);
    for (const auto* pEdges : {&networks, &broadcasts})
        for (uint32_t n : *pEdges)
            if (n >= plan.m_nFirst && n <= plan.m_nLast) plan.m_skip.push_back(n);
    std::sort(plan.m_skip.begin(), plan.m_skip.end());
    plan.m_skip.erase(std::unique(plan.m_skip.begin(), plan.m_skip.end()), plan.m_skip.end());
    return true;
}

void CFindUnitsDlg::OnStart() {
    SUdpScanPlan plan;
    QString strError;
    if (!PlanFromFields(plan, strError)) {
        SetStatus(strError);
        return;
    }
    RunScan(
        [plan](const SScanHooks& hooks) {
            CScanWorker::SResult result;
            result.m_hits = ScanUdp(plan, hooks, result.m_tally, result.m_strError);
            result.m_bFailed = !result.m_strError.empty();
            return result;
        },
        QString("Asking %1 addresses...").arg(plan.Count()));
}

std::vector<CScanWindow::Cell> CFindUnitsDlg::KeyCells(const SScanHit& hit) const {
    return {{Dotted(hit.m_nIp), hit.m_nIp}, {QString::number(hit.m_nAddr), hit.m_nAddr}};
}

void CFindUnitsDlg::OnProgress(const SScanProgress& progress) {
    SetProgress(progress.m_nDone, progress.m_nTotal);
    SetStatus(QString("Asked %1 of %2, %3 found, at most %4 s left.")
                  .arg(progress.m_nDone)
                  .arg(progress.m_nTotal)
                  .arg(progress.m_nFound)
                  .arg(progress.m_dSecondsLeft, 0, 'f', 0));
}
