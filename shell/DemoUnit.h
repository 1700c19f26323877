#pragma once
// velorcfg --demo: a simulated Velor inside the program, on a pseudo-terminal that
// COM1 opens and on UDP at a free port of 127.0.0.1, with a sample image to flash.

#include <cstdint>
#include <memory>
#include <string>

class CMainDlg;
class CSimServer;

class CDemoUnit {
public:
    CDemoUnit();
    ~CDemoUnit(); // stops the unit, removes the sample image and COM1's mapping

    // Starts the unit and maps COM1 to it; false with the reason otherwise.
    bool Start(std::string& strError);

    // Both rows of the main window reach the unit as they stand: the address dialog
    // starts at its UDP port (COM1 is mapped already), the file dialog at the sample
    // image, and the title says it is a demo.
    void PointAt(CMainDlg& dlg) const;

    std::string PtyPath() const;
    uint16_t UdpPort() const;
    // The folder holding the sample image.
    const std::string& ImageFolder() const { return m_strFolder; }

    static constexpr const char* IP = "127.0.0.1";
    static constexpr const char* IMAGE_NAME = "velor-demo.s19";

private:
    std::unique_ptr<CSimServer> m_pSim;
    std::string m_strFolder;
};
