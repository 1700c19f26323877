#include "shell/DemoUnit.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "firmware/SampleImage.h"
#include "params/Texts.h"
#include "platform/SerialDevice.h"
#include "shell/MainDlg.h"
#include "sim/SimUnit.h"

CDemoUnit::CDemoUnit() : m_pSim(std::make_unique<CSimServer>()) {}

CDemoUnit::~CDemoUnit() {
    m_pSim->Stop();
    serialdev::MapPort(1, {});
    std::error_code ec;
    if (!m_strFolder.empty()) std::filesystem::remove_all(m_strFolder, ec);
}

bool CDemoUnit::Start(std::string& strError) {
    SSimOptions options;
    options.m_bPty = true;
    options.m_bUdp = true;
    options.m_strUdpHost = IP;
    // Replies paced as on a 115200 baud line, so a serial download takes as long
    // as it would on a real unit.
    options.m_nBaud = 115200;
    // A unit that has been running for a while, as one on a site is: its first reply
    // is an ordinary one, not the resynchronisation of a fresh start.
    options.m_bResyncAtStart = false;
    // The IP address dialog takes a port of at most four digits: a free one of those.
    bool bStarted = false;
    for (int i = 0; i < 50 && !bStarted; ++i) {
        options.m_nUdpPort = static_cast<uint16_t>(2000 + (::getpid() * 37 + i * 211) % 7999);
        NetParams rec = SSimOptions::DefaultParams();
        rec.SetDottedAt(NetParams::OFS_IP, IP);
        rec.SetPort(options.m_nUdpPort);
        // A serial write sends zeros for the unit's own port settings; a unit holding
        // zeros there reads back what was written, so the serial configure job succeeds.
        for (size_t n = NetParams::OFS_SCP_PROPS; n <= NetParams::OFS_UNIT_COMM_ADDR; ++n)
            rec[n] = 0;
        options.m_params = rec;
        bStarted = m_pSim->Start(options, &strError);
    }
    if (!bStarted) return false;

    std::string strTemplate =
        (std::filesystem::temp_directory_path() / "velorcfg-demo-XXXXXX").string();
    if (!::mkdtemp(strTemplate.data())) {
        strError = "no temporary folder for the sample image";
        return false;
    }
    m_strFolder = strTemplate;
    // 64 KiB: long enough on the serial line to watch the progress window.
    if (!WriteSampleImage(m_strFolder + "/" + IMAGE_NAME, SSampleImage{0, 64 * 1024, 32, 7})) {
        strError = "the sample image could not be written";
        return false;
    }
    serialdev::MapPort(1, m_pSim->PtyPath());
    return true;
}

void CDemoUnit::PointAt(CMainDlg& dlg) const {
    if (dlg.m_pNetParams) {
        dlg.m_pNetParams->SetDottedAt(NetParams::OFS_IP, IP);
        dlg.m_pNetParams->SetPort(UdpPort());
    }
    dlg.QtPrompts().SetImageFolder(QString::fromStdString(m_strFolder));
    dlg.setWindowTitle(dlg.windowTitle() + txt::DEMO_TITLE_SUFFIX);
}

std::string CDemoUnit::PtyPath() const {
    return m_pSim->PtyPath();
}

uint16_t CDemoUnit::UdpPort() const {
    return m_pSim->UdpPort();
}
