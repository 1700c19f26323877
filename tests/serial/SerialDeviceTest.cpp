#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <termios.h>
#include <thread>

#include "PtyPeer.h"
#include "params/Texts.h"
#include "platform/SerialDevice.h"
#include "platform/SerialPorts.h"
#include "serial/SerlComm.h"

using namespace serialdev;
using Clock = std::chrono::steady_clock;

namespace {
long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}
} // namespace

TEST(SerialDevice, PortNameResolution) {
    ::unsetenv("VELOR_COM3");
    EXPECT_EQ(ResolvePort(3), "/dev/ttyS2");
    ::setenv("VELOR_COM3", "/dev/pts/77", 1);
    EXPECT_EQ(ResolvePort(3), "/dev/pts/77");
    EXPECT_EQ(ResolvePort(1), std::getenv("VELOR_COM1") ? std::getenv("VELOR_COM1") : "/dev/ttyS0");
    ::setenv("VELOR_COM3", "", 1); // set but empty: the default device
    EXPECT_EQ(ResolvePort(3), "/dev/ttyS2");
    ::unsetenv("VELOR_COM3");
}

TEST(SerialDevice, PortMapBetweenVariableAndDefault) {
    ::unsetenv("VELOR_COM5");
    MapPort(5, "/dev/ttyUSB1");
    EXPECT_EQ(ResolvePort(5), "/dev/ttyUSB1");
    EXPECT_EQ(ResolvePort(6), "/dev/ttyS5");
    ::setenv("VELOR_COM5", "/dev/pts/9", 1);
    EXPECT_EQ(ResolvePort(5), "/dev/pts/9"); // the variable wins
    ::unsetenv("VELOR_COM5");
    MapPort(5, {});
    EXPECT_EQ(ResolvePort(5), "/dev/ttyS4");
}

TEST(SerialDevice, MachinePortsOfferedUnderFreeNumbers) {
    auto numbers = [](const std::vector<SPortOffer>& offers) {
        std::string str;
        for (const auto& o : offers)
            str += std::to_string(o.m_nPort) + "=" + o.m_info.m_strDevice + " ";
        return str;
    };
    for (int n = 1; n <= 9; ++n)
        ::unsetenv(("VELOR_COM" + std::to_string(n)).c_str());
    // COM1's and COM2's devices are not offered twice; at most COM3..COM9.
    std::vector<SPortInfo> ports = {
        {"/dev/ttyS0", ""}, {"/dev/ttyUSB0", "FT232R"}, {"/dev/ttyS1", ""}};
    for (int i = 1; i <= 8; ++i)
        ports.push_back({"/dev/ttyACM" + std::to_string(i), ""});
    EXPECT_EQ(numbers(OfferMachinePorts(ports)), "3=/dev/ttyUSB0 4=/dev/ttyACM1 5=/dev/ttyACM2 "
                                                 "6=/dev/ttyACM3 7=/dev/ttyACM4 8=/dev/ttyACM5 "
                                                 "9=/dev/ttyACM6 ");
    // A number a variable names is skipped, and the device it names is not offered.
    ::setenv("VELOR_COM3", "/dev/ttyACM1", 1);
    EXPECT_EQ(numbers(OfferMachinePorts({{"/dev/ttyACM1", ""}, {"/dev/ttyUSB0", ""}})),
              "4=/dev/ttyUSB0 ");
    ::unsetenv("VELOR_COM3");
    EXPECT_EQ(txt::PortOffer(3, "/dev/ttyUSB0", "FT232R USB UART"),
              "COM3 - /dev/ttyUSB0 (FT232R USB UART)");
    EXPECT_EQ(txt::PortOffer(4, "/dev/ttyS4", "ttyS4"), "COM4 - /dev/ttyS4");
}

TEST(SerialDevice, ModeStringFormattedAndParsedBack) {
    EXPECT_EQ(CSerlComm::FormatMode(9600, 2, 8, 1, 500),
              "Baud=9600 parity=e data=8 stop=1 to=off odsr=off octs=off");
    EXPECT_EQ(CSerlComm::FormatMode(115200, 0, 8, 1, 500),
              "Baud=115200 parity=n data=8 stop=1 to=off odsr=off octs=off");
    EXPECT_EQ(CSerlComm::FormatMode(19200, 1, 7, 2, 0),
              "Baud=19200 parity=o data=7 stop=2 to=on odsr=off octs=off");
    // Only the low 7 bits of the stop argument count.
    EXPECT_EQ(CSerlComm::FormatMode(9600, 2, 8, 0x81, 500),
              "Baud=9600 parity=e data=8 stop=1 to=off odsr=off octs=off");

    SLineMode mode;
    ASSERT_EQ(BuildLineMode(CSerlComm::FormatMode(19200, 1, 7, 2, 0), mode), 0);
    EXPECT_EQ(mode.m_nBaud, 19200);
    EXPECT_EQ(mode.m_cParity, 'o');
    EXPECT_EQ(mode.m_nDataBits, 7);
    EXPECT_EQ(mode.m_nStopBits, 2);
    EXPECT_TRUE(mode.m_bTimeoutOn);
    EXPECT_FALSE(mode.m_bCtsFlow);

    // Keys in any case and order; what is not named is kept.
    ASSERT_EQ(BuildLineMode("PARITY=N  baud=57600", mode), 0);
    EXPECT_EQ(mode.m_nBaud, 57600);
    EXPECT_EQ(mode.m_cParity, 'n');
    EXPECT_EQ(mode.m_nDataBits, 7);

    // A refused string leaves the settings as they were.
    const SLineMode before = mode;
    for (const char* psz : {"Baud=0", "Baud=12345", "Baud=96x00", "parity=m", "data=9", "stop=1.5",
                            "to=maybe", "speed=9600", "Baud"}) {
        EXPECT_EQ(BuildLineMode(psz, mode), EINVAL) << psz;
        EXPECT_EQ(mode.m_nBaud, before.m_nBaud) << psz;
        EXPECT_EQ(mode.m_cParity, before.m_cParity) << psz;
    }
}

TEST(SerialDevice, OpenIsExclusiveAndReportsSystemErrors) {
    CPtyPeer peer;
    CSerialDevice first, second;
    ASSERT_EQ(first.Open(peer.SlavePath()), 0);
    EXPECT_TRUE(first.IsOpen());
    EXPECT_EQ(second.Open(peer.SlavePath()), EWOULDBLOCK);
    EXPECT_FALSE(second.IsOpen());
    first.Close();
    EXPECT_EQ(second.Open(peer.SlavePath()), 0);

    CSerialDevice missing;
    EXPECT_EQ(missing.Open("/dev/velor-no-such-port"), ENOENT);
    EXPECT_FALSE(missing.IsOpen());
}

TEST(SerialDevice, SetLineAppliesModeInRawMode) {
    CPtyPeer peer;
    std::unique_ptr<CSerialDevice> pPort = std::make_unique<CSerialDevice>();
    ASSERT_EQ(pPort->Open(peer.SlavePath()), 0);
    // Parity even on a pseudo-terminal: the kernel may drop it, the line still counts as set.
    ASSERT_EQ(CSerlComm::SetLine(pPort.get(), 9600, 2, 8, 1, 500, 500), 0);
    SLineMode mode;
    ASSERT_EQ(pPort->GetLineMode(mode), 0);
    EXPECT_EQ(mode.m_nBaud, 9600);
    EXPECT_EQ(mode.m_nDataBits, 8);
    EXPECT_EQ(mode.m_nStopBits, 1);

    ASSERT_EQ(CSerlComm::SetLine(pPort.get(), 115200, 1, 8, 1, 500, 500), 0);
    ASSERT_EQ(pPort->GetLineMode(mode), 0);
    EXPECT_EQ(mode.m_nBaud, 115200);
    // Again and again, as every connect does: the dropped parity never turns into a
    // failure (the C library reports it as EINVAL once the rest is unchanged).
    for (int i = 0; i < 3; ++i) {
        pPort = std::make_unique<CSerialDevice>();
        ASSERT_EQ(pPort->Open(peer.SlavePath()), 0);
        ASSERT_EQ(CSerlComm::SetLine(pPort.get(), 115200, 2, 8, 1, 500, 500), 0) << i;
    }

    // A rate the dialog cannot mean, and no port at all.
    EXPECT_EQ(CSerlComm::SetLine(pPort.get(), 0, 2, 8, 1, 500, 500), EINVAL);
    EXPECT_EQ(CSerlComm::SetLine(nullptr, 9600, 2, 8, 1, 500, 500), ERR_NOT_OPEN);

    // Raw: bytes pass unchanged (no echo, no line editing, no CR/LF mapping).
    const std::vector<uint8_t> ab = {0x0D, 0x0A, 0x03, 0x7F, 0x11, 0x13, 0xFE};
    peer.Send(ab);
    pPort->SetTimeouts(50, 200, 200);
    uint8_t abIn[16];
    size_t nRead = 0;
    ASSERT_EQ(pPort->Read(abIn, ab.size(), nRead), 0);
    ASSERT_EQ(nRead, ab.size());
    EXPECT_EQ(std::vector<uint8_t>(abIn, abIn + nRead), ab);
    uint8_t abEcho[16];
    EXPECT_LT(::read(peer.MasterFd(), abEcho, sizeof abEcho), 1);
}

TEST(SerialDevice, ReadEndsByTotalOrIntervalTimeout) {
    CPtyPeer peer;
    CSerialDevice port;
    ASSERT_EQ(port.Open(peer.SlavePath()), 0);
    ASSERT_EQ(CSerlComm::SetLine(&port, 115200, 2, 8, 1, 100, 100), 0);
    uint8_t ab[8];
    size_t nRead = 99;

    // Silence: the total time-out ends the read with nothing and no error.
    auto t = Clock::now();
    EXPECT_EQ(CSerlComm::ReadPort(&port, ab, 5, nRead), 0);
    EXPECT_EQ(nRead, 0u);
    EXPECT_GE(MsSince(t), 95);
    EXPECT_LT(MsSince(t), 400);

    // Fewer bytes than asked: a short count, not an error.
    peer.Send({1, 2, 3});
    EXPECT_EQ(CSerlComm::ReadPort(&port, ab, 5, nRead), 0);
    EXPECT_EQ(nRead, 3u);

    // All bytes: the read returns at once.
    peer.Send({1, 2, 3, 4, 5});
    t = Clock::now();
    EXPECT_EQ(CSerlComm::ReadPort(&port, ab, 5, nRead), 0);
    EXPECT_EQ(nRead, 5u);
    EXPECT_LT(MsSince(t), 80);

    // Bytes that trickle in within the interval are all taken; the read then ends one
    // interval after the last byte, long before the total.
    port.SetTimeouts(150, 1000, 100);
    t = Clock::now();
    std::thread sender([&] {
        for (uint8_t i = 0; i < 4; ++i) {
            peer.Send({i});
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    EXPECT_EQ(CSerlComm::ReadPort(&port, ab, 8, nRead), 0);
    sender.join();
    EXPECT_EQ(nRead, 4u);
    EXPECT_LT(MsSince(t), 700);

    // A closed link: 1259 and a count of 0.
    nRead = 7;
    EXPECT_EQ(CSerlComm::ReadPort(nullptr, ab, 5, nRead), ERR_NOT_OPEN);
    EXPECT_EQ(nRead, 0u);
}

TEST(SerialDevice, PurgeDiscardsOnlyInput) {
    CPtyPeer peer;
    CSerialDevice port;
    ASSERT_EQ(port.Open(peer.SlavePath()), 0);
    ASSERT_EQ(CSerlComm::SetLine(&port, 115200, 2, 8, 1, 100, 50), 0);
    peer.Send({9, 9, 9});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CSerlComm::PurgeInput(&port);
    CSerlComm::PurgeInput(nullptr);
    uint8_t ab[4];
    size_t nRead = 0;
    EXPECT_EQ(CSerlComm::ReadPort(&port, ab, 3, nRead), 0);
    EXPECT_EQ(nRead, 0u);
}

TEST(SerialDevice, WriteThatTimesOutPartwayIs1025) {
    CPtyPeer peer; // never reads, so the pseudo-terminal's buffer fills up
    CSerialDevice port;
    ASSERT_EQ(port.Open(peer.SlavePath()), 0);
    ASSERT_EQ(CSerlComm::SetLine(&port, 115200, 2, 8, 1, 100, 100), 0);
    const std::vector<uint8_t> ab(1 << 20, 0x55);
    const auto t = Clock::now();
    EXPECT_EQ(CSerlComm::WritePort(&port, ab.data(), ab.size()), ERR_WRITE_SHORT);
    EXPECT_GE(MsSince(t), 95);
    EXPECT_LT(MsSince(t), 1000);
    EXPECT_EQ(CSerlComm::WritePort(nullptr, ab.data(), 5), ERR_NOT_OPEN);

    // A whole write that fits is 0.
    CPtyPeer peer2;
    CSerialDevice port2;
    ASSERT_EQ(port2.Open(peer2.SlavePath()), 0);
    ASSERT_EQ(CSerlComm::SetLine(&port2, 115200, 2, 8, 1, 100, 100), 0);
    EXPECT_EQ(CSerlComm::WritePort(&port2, ab.data(), 246), 0);
}

TEST(SerialDevice, ReadAfterFarEndClosedReportsSystemError) {
    CPtyPeer peer;
    CSerialDevice port;
    ASSERT_EQ(port.Open(peer.SlavePath()), 0);
    ASSERT_EQ(CSerlComm::SetLine(&port, 115200, 2, 8, 1, 100, 100), 0);
    peer.CloseMaster();
    uint8_t ab[5];
    size_t nRead = 0;
    const int nResult = CSerlComm::ReadPort(&port, ab, 5, nRead);
    EXPECT_EQ(nResult, EIO);
    EXPECT_EQ(nRead, 0u);
}
