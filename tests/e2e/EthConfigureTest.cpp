// The configure job's operations over UDP against the simulated unit.

#include "EthSimFixture.h"

namespace {

using EStep = CEthLink::EStep;

const std::string MSG_UPDATED = " The Velor updated successfully";
const std::string MSG_NOT_COMPARED = "!!!!!The Velor update did not compare successfully!!!!";
const std::string MSG_RESET = " The Velor has reset successfully";
const std::string MSG_SWITCH = "SW 3, dipswitch 2 must be ON to configure the Orvik.";

TEST_F(EthSimTest, FirstJobStepSendsExactlyTheseDatagrams) {
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.StatusCheck(), EStep::Next);
    EXPECT_EQ(SentHex(), (std::vector<std::string>{"FE 00 00 00 FE", "FE 00 00 08 06",
                                                   "FE 00 00 10 0E", "FE 00 03 19 1A 70 00 A4"}));
    EXPECT_EQ(link.SerialNo(), 0x1234);
    EXPECT_TRUE(link.KeysEnabled());
    EXPECT_FALSE(link.PropertiesMode());
    EXPECT_TRUE(Log().empty());
}

TEST_F(EthSimTest, ConfigureJobReadsWritesVerifiesAndResetsWithTheAddressByteOfEachStep) {
    m_rec[NetParams::OFS_COMM_ADDR] = 0x09; // entered with the address
    m_rec[58] = 0x77;                       // a read leaves bytes 57.. alone
    CEthLink& link = Open();
    const NetParams unit = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
    ASSERT_EQ(unit[NetParams::OFS_UNIT_COMM_ADDR], 0x01);

    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.StatusCheck(), EStep::Next);
    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.ReadParams(), EStep::Next);
    for (size_t i = 0; i < PLAIN_READ_MIN; ++i)
        EXPECT_EQ(m_rec[i], unit[i]) << "byte " << i;
    EXPECT_EQ(m_rec[58], 0x77);
    EXPECT_EQ(m_rec[NetParams::OFS_COMM_ADDR], 0x09);
    EXPECT_EQ(m_host.m_nTargetPort, 3001);

    // What the configuration dialog would do.
    m_rec.SetDottedAt(NetParams::OFS_GATEWAY, "192.168.0.254");
    m_rec.SetPort(3002);
    m_rec[NetParams::OFS_TDES_KEY2] = 0x5C;
    for (size_t i = NetParams::OFS_RESERVED; i < NetParams::OFS_COMM_ADDR; ++i)
        m_rec[i] = 0;

    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.WriteParams(), EStep::Next);
    const NetParams stored = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
    for (size_t i = 0; i < NetParams::OFS_COMM_ADDR; ++i)
        EXPECT_EQ(stored[i], m_rec[i]) << "byte " << i;

    ASSERT_TRUE(link.StepPolls());
    ASSERT_TRUE(link.ResetUnit());
    EXPECT_EQ(RestartsSoon(1), 1u);
    EXPECT_EQ(Log(), (Messages{MSG_UPDATED, MSG_RESET}));

    // Address bytes: step polls and read-back/reset carry record byte 28 (0 until the
    // read brought the unit's 1); status, read and write carry byte 61.
    std::string strAddr, strCmds;
    for (const Bytes& ab : Sent()) {
        strAddr += ToHex(&ab[1], 1) + " ";
        strCmds += ab.size() == 5 ? "p " : ToHex(&ab[5], 1) + " ";
    }
    EXPECT_EQ(strCmds, "p p p 70 "      // status step
                       "p p p 91 "      // read step
                       "p p p 92 p 91 " // write step with its read-back
                       "p p p 8F ");    // reset step
    EXPECT_EQ(strAddr, "00 00 09 09 "
                       "00 00 09 09 "
                       "01 01 09 09 01 01 "
                       "01 01 01 01 ");
    // The write request: 8 IV bytes and 124 encrypted bytes.
    const Bytes write = Sent()[11];
    ASSERT_EQ(write.size(), 140u);
    EXPECT_EQ(write[2], 0x87);
    EXPECT_EQ(write[6], 0x84);
    EXPECT_EQ(0, std::memcmp(&write[7], m_rec.Data() + NetParams::OFS_DES_KEY, IV_LEN));
}

TEST_F(EthSimTest, SwitchOffStopsUnlessThePropertiesModeAllowsIt) {
    m_options.m_faults.m_bSwitchOff = true;
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(link.StatusCheck(), EStep::Stop);
    EXPECT_EQ(Log(), (Messages{MSG_SWITCH}));
    m_prompts.Clear();

    SSimFaults faults;
    faults.m_bSwitchOff = true;
    faults.m_bPropertiesMode = true;
    m_sim.SetFaults(faults);
    size_t nPlainSeen = 0;
    m_prompts.m_fnProperties = [&](uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) {
        nPlainSeen = nLen;
        EXPECT_EQ(nSerialNo, 0x1234u);
        EXPECT_EQ(pPlain[NetParams::OFS_UNIT_COMM_ADDR], 0x01); // decrypted in place
        pPlain[NetParams::OFS_SCP_FLAGS1] = 0x0A;
        pPlain[NetParams::OFS_SCP_FLAGS2] = 0x41;
        pPlain[NetParams::OFS_UNIT_COMM_ADDR] = 0x07;
    };
    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.StatusCheck(), EStep::Next);
    EXPECT_TRUE(link.PropertiesMode());
    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.ReadParams(), EStep::Next);
    EXPECT_EQ(nPlainSeen, PLAIN_WRITE_LEN);
    EXPECT_EQ(m_rec[NetParams::OFS_SCP_FLAGS1], 0x0A);
    EXPECT_EQ(m_rec[NetParams::OFS_SCP_FLAGS2], 0x41);
    EXPECT_EQ(m_rec[NetParams::OFS_UNIT_COMM_ADDR], 0x07);
    EXPECT_EQ(Log(), (Messages{"[Properties] OK"}));
}

TEST_F(EthSimTest, SilentAndPollsOnlyUnitsFailWithTheTimeOutMessage) {
    m_options.m_faults.m_bSilent = true;
    CEthLink& link = Open();
    EXPECT_FALSE(link.StepPolls());
    EXPECT_EQ(Log(), (Messages{RECV_TIMED_OUT, RECV_TIMED_OUT}));
    m_prompts.Clear();

    SSimFaults faults;
    faults.m_bPollsOnly = true;
    m_sim.SetFaults(faults);
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(link.StatusCheck(), EStep::OfferAddress);
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(link.ReadParams(), EStep::Stop);
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(link.WriteParams(), EStep::Stop);
    EXPECT_EQ(Log(), (Messages{RECV_TIMED_OUT, RECV_TIMED_OUT, RECV_TIMED_OUT}));
}

TEST_F(EthSimTest, InvalidCommandRepliesRetrySilentlyInvalidPollRepliesSayError) {
    // Every second reply spoiled: each command's poll passes, its command reply not.
    m_options.m_faults.m_nGarbleEvery = 2;
    CEthLink& link = Open();
    EXPECT_EQ(link.StatusCheck(), EStep::Retry);
    EXPECT_EQ(link.ReadParams(), EStep::Retry);
    EXPECT_EQ(link.WriteParams(), EStep::Retry);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.FrameCount(frame::CMD_READ_PARAMS); }),
              1u); // no read-back after a refused write

    SSimFaults faults;
    faults.m_bHighBits = true;
    m_sim.SetFaults(faults);
    EXPECT_FALSE(link.StepPolls());
    faults = {};
    faults.m_nGarbleEvery = 1;
    m_sim.SetFaults(faults);
    EXPECT_FALSE(link.Poll());
    EXPECT_EQ(Log(), (Messages{"Error", "Error", "Error"}));
}

TEST_F(EthSimTest, ResyncReplyFailsThePollAndRestartsTheSequence) {
    m_options.m_bResyncAtStart = true; // a unit just powered on
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(Log(), (Messages{"Error"}));
    EXPECT_EQ(link.Framing().Sequence(), 8u);
    ASSERT_EQ(link.StatusCheck(), EStep::Next);
    EXPECT_EQ(SentHex(), (std::vector<std::string>{"FE 00 00 00 FE", "FE 00 00 00 FE",
                                                   "FE 00 00 08 06", "FE 00 03 11 12 70 00 94"}));
}

TEST_F(EthSimTest, WriteWhoseReadBackDiffersSaysSoAndGoesOnToTheReset) {
    m_options.m_faults.m_bStoreMismatch = true;
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(link.WriteParams(), EStep::Next);
    EXPECT_EQ(Log(), (Messages{MSG_NOT_COMPARED}));
}

TEST_F(EthSimTest, OversizedReplyDatagramsAreCutOrRefusedNeverOverrun) {
    // 300 bytes: the frame inside is whole, the padding is cut off at the buffer.
    m_options.m_faults.m_nOversizeReply = 300;
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.StatusCheck(), EStep::Next);
    EXPECT_EQ(link.Received(), CEthLink::FRAME_BUFFER);
    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.ReadParams(), EStep::Next);
    EXPECT_TRUE(Log().empty());

    // 600 bytes: more than the 512 asked for.
    SSimFaults faults;
    faults.m_nOversizeReply = 600;
    m_sim.SetFaults(faults);
    EXPECT_FALSE(link.Poll());
    EXPECT_EQ(Log(), (Messages{"Unable to connect to Velor - Message too long.  If problem "
                               "persists, clear the NVRAM by setting SW2, switches 2,4,6,8 on "
                               "and the rotary switch to F, power Velor off and on, wait for "
                               "LEDS 1-4 to flash, then restart procedure."}));
}

TEST_F(EthSimTest, AddressEnteredAgainOpensANewSocketAndAsksAgain) {
    m_options.m_faults.m_bPollsOnly = true;
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ASSERT_EQ(link.StatusCheck(), EStep::OfferAddress);
    // The same address and port entered again.
    m_prompts.m_fnIpAddress = [&](NetParams& rec) {
        rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
        rec.SetPort(m_sim.UdpPort());
    };
    ASSERT_EQ(link.AddressReentry(), EStep::Retry);
    EXPECT_EQ(m_host.m_strTargetIp, "127.0.0.1");

    // Still no answer to the status request: the longer time-out applies now.
    ASSERT_TRUE(link.StepPolls());
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(link.StatusCheck(), EStep::OfferAddress);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(145));

    m_sim.SetFaults({});
    ASSERT_EQ(link.AddressReentry(), EStep::Retry);
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(link.StatusCheck(), EStep::Next);
    EXPECT_EQ(Log(),
              (Messages{RECV_TIMED_OUT, "[IpAddress] OK", RECV_TIMED_OUT, "[IpAddress] OK"}));
    link.CloseSocket(CEthLink::EClose::JobEnd);
    EXPECT_EQ(CDatagramSocket::StartupCount(), m_nBaseStartups);
}

} // namespace
