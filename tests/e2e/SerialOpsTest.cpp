// The serial unit operations against the simulated unit, message for message.

#include "SerialE2E.h"

#include "serial/FrameCodec.h"

namespace {

const std::string NOT_RESPONDING = "Orvik not responding";
const std::string COMM_NOT_RESPONDING = "Communication Error, Orvik not responding";
const std::string NOT_UPDATED = "Communication Error, Orvik did not update";
const std::string MISMATCH = "Error, Data read from Orvik does not match. Orvik not updated";

SSimOptions NoPowerOnResync() {
    SSimOptions options;
    options.m_bResyncAtStart = false;
    options.m_bResyncOnRestart = false;
    return options;
}

} // namespace

TEST_F(SerialE2E, EachOperationStartsAtSequenceZeroWithTwoEmptyFrames) {
    Start(NoPowerOnResync());
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    EXPECT_EQ(Sent(), (Msgs{"FE 00 00 00 FE", "FE 00 00 08 06", "FE 00 03 11 12 70 00 94"}));
    EXPECT_EQ(m_pLink->m_nSerialNo, 0x1234u);
    EXPECT_TRUE(m_pLink->m_bKeysEnabled);

    ClearSent();
    ASSERT_EQ(m_pLink->ReadParams(), 0);
    EXPECT_EQ(Sent(), (Msgs{"FE 00 00 00 FE", "FE 00 00 08 06", "FE 00 03 11 12 91 00 B5"}));

    // The reset gets no answer: the same frame three times.
    ClearSent();
    ASSERT_EQ(m_pLink->ResetUnit(), 0);
    EXPECT_EQ(Sent(), (Msgs{"FE 00 00 00 FE", "FE 00 00 08 06", "FE 00 03 11 12 8F 00 B3",
                            "FE 00 03 11 12 8F 00 B3", "FE 00 03 11 12 8F 00 B3"}));
    EXPECT_EQ(Messages(), Msgs{" The Orvik has reset successfully"});
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.Restarts(); }), 1u);
}

TEST_F(SerialE2E, CheckUnitTakesSerialNumberAndKeyFlagAndAbsorbsPowerOnResync) {
    SSimOptions options;
    options.m_nSerialNo = 0xBEEF;
    options.m_bKeysEnabled = false;
    m_scp = *ScpParams::Make("COM1", 0x0102, "Even", "115200"); // frames carry the low byte
    Start(options);
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(m_pLink->m_nSerialNo, 0xBEEFu);
    EXPECT_FALSE(m_pLink->m_bKeysEnabled);
    // The unit's first reply after power-on asks for sequence 0: the first empty frame
    // goes out again, and the command still leaves at control 17.
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], "FE 02 00 00 00");
    EXPECT_EQ(sent[1], "FE 02 00 00 00");
    EXPECT_EQ(sent[2], "FE 02 00 08 08");
    EXPECT_EQ(sent[3].substr(0, 14), "FE 02 03 11 14");
}

TEST_F(SerialE2E, ReadEditWriteAndReadBack) {
    SSimOptions options;
    options.m_bSerialKeepsScp = true; // the unit keeps its own port properties
    Start(options);
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    ASSERT_EQ(m_pLink->ReadParams(), 0);
    NetParams rec;
    rec.m_abData.fill(0xEE);
    m_pLink->GetParams(&rec);
    const NetParams unit = SSimOptions::DefaultParams();
    for (size_t i = 0; i < 57; ++i)
        ASSERT_EQ(rec[i], unit[i]) << i;
    for (size_t i = 57; i < NetParams::SIZE; ++i)
        ASSERT_EQ(rec[i], 0) << i; // never read
    EXPECT_EQ(rec.Port(), 3001);

    const NetParams read = rec;
    ASSERT_TRUE(rec.SetDottedAt(NetParams::OFS_IP, "10.1.2.3"));
    rec.SetPort(4002);
    rec.SetTimeout(1);
    rec[NetParams::OFS_TDES_KEY3 + 7] = 0x99;
    m_pLink->SetParams(&rec);
    ClearSent();
    ASSERT_EQ(m_pLink->WriteParams(), 0);
    EXPECT_TRUE(Messages().empty());

    // The write request: control 17, 132 data bytes, the vector in clear being the DES
    // key as last read.
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    const Bytes write = FromHex(sent[2]);
    ASSERT_EQ(write.size(), 140u);
    EXPECT_EQ(ToHex(write.data(), 7), "FE 00 87 11 96 92 84");
    EXPECT_EQ(ToHex(write.data() + 7, 8), ToHex(read.Data() + NetParams::OFS_DES_KEY, 8));
    EXPECT_EQ(sent[3], "FE 00 03 19 1A 91 00 C5"); // read back, no new connect

    NetParams stored = Unit([](CSimUnit& u) { return u.Params(); });
    EXPECT_EQ(stored.DottedAt(NetParams::OFS_IP), "10.1.2.3");
    EXPECT_EQ(stored.Port(), 4002);
    EXPECT_EQ(stored.Timeout(), 1);
    EXPECT_EQ(stored[NetParams::OFS_TDES_KEY3 + 7], 0x99);

    // The link now holds the record as read back.
    NetParams after;
    m_pLink->GetParams(&after);
    EXPECT_EQ(after, rec);
}

TEST_F(SerialE2E, ReadBackDifferingAnywhereIsNotUpdated) {
    // A unit that stores the zeros the serial write sends for its port properties:
    // bytes the dialog does not show still count.
    Start();
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    ASSERT_EQ(m_pLink->ReadParams(), 0);
    NetParams rec;
    m_pLink->GetParams(&rec);
    ASSERT_NE(rec[NetParams::OFS_SCP_PROPS], 0);
    m_pLink->SetParams(&rec);
    EXPECT_EQ(m_pLink->WriteParams(), 1);
    EXPECT_EQ(Messages(), Msgs{MISMATCH});
    NetParams after;
    m_pLink->GetParams(&after);
    for (size_t i = NetParams::OFS_SCP_PROPS; i < NetParams::OFS_SCP_PROPS + 5; ++i)
        EXPECT_EQ(after[i], 0) << i;

    // A unit that stores a shown field wrongly.
    m_prompts.Clear();
    SSimFaults faults;
    faults.m_bStoreMismatch = true;
    Faults(faults);
    m_pLink->SetParams(&after);
    EXPECT_EQ(m_pLink->WriteParams(), 1);
    EXPECT_EQ(Messages(), Msgs{MISMATCH});
}

TEST_F(SerialE2E, SilentUnitMessagesForEveryOperation) {
    SSimFaults faults;
    faults.m_bSilent = true;
    SSimOptions options;
    options.m_faults = faults;
    Start(options);

    EXPECT_EQ(m_pLink->CheckUnit(), frame::ERR_NO_REPLY);
    EXPECT_EQ(Messages(), (Msgs{NOT_RESPONDING, MSG_CHECK_CONNECT}));
    m_prompts.Clear();
    EXPECT_EQ(m_pLink->ReadParams(), frame::ERR_NO_REPLY);
    EXPECT_EQ(Messages(), (Msgs{NOT_RESPONDING, COMM_NOT_RESPONDING}));
    m_prompts.Clear();
    EXPECT_EQ(m_pLink->WriteParams(), frame::ERR_NO_REPLY);
    EXPECT_EQ(Messages(), (Msgs{NOT_RESPONDING, NOT_UPDATED}));
    m_prompts.Clear();
    EXPECT_EQ(m_pLink->ResetUnit(), frame::ERR_NO_REPLY);
    EXPECT_EQ(Messages(), (Msgs{NOT_RESPONDING, COMM_NOT_RESPONDING}));
    // Three attempts per empty frame, two empty frames per operation, nothing else.
    EXPECT_EQ(Sent().size(), 4u * 6u);
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.FrameCount(0x92); }), 0u);
}

TEST_F(SerialE2E, ConfigurationSwitchOffIsRefusedThoughTheUnitAnswers) {
    SSimOptions options;
    options.m_faults.m_bSwitchOff = true;
    Start(options);
    EXPECT_EQ(m_pLink->CheckUnit(), 1);
    EXPECT_EQ(Messages(), Msgs{"SW 3 dipswitch 2 must be ON to configure the Orvik."});
}

TEST_F(SerialE2E, UnitFallingSilentBetweenOperations) {
    Start();
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    SSimFaults faults;
    faults.m_bSilent = true;
    Faults(faults);
    EXPECT_NE(m_pLink->ReadParams(), 0);
    EXPECT_EQ(Messages(), (Msgs{NOT_RESPONDING, COMM_NOT_RESPONDING}));

    // Answers the connect but not the command.
    m_prompts.Clear();
    faults = {};
    faults.m_bPollsOnly = true;
    Faults(faults);
    EXPECT_EQ(m_pLink->ReadParams(), frame::ERR_NO_REPLY);
    EXPECT_EQ(Messages(), Msgs{NOT_RESPONDING});
}

TEST_F(SerialE2E, ReadBackWithoutAnswerIsNotUpdatedAndKeepsTheRecord) {
    Start();
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    ASSERT_EQ(m_pLink->ReadParams(), 0);
    NetParams read;
    m_pLink->GetParams(&read);
    NetParams edited = read;
    edited.SetPort(5005);
    m_pLink->SetParams(&edited);
    // Two empty frames and the write are answered, the read-back is not.
    SSimFaults faults;
    faults.m_nSilentAfterFrames = 3;
    Faults(faults);
    EXPECT_EQ(m_pLink->WriteParams(), frame::ERR_NO_REPLY);
    EXPECT_EQ(Messages(), (Msgs{NOT_RESPONDING, NOT_UPDATED}));
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.Params().Port(); }), 5005);
    NetParams after;
    m_pLink->GetParams(&after);
    EXPECT_EQ(after, read);
}

TEST_F(SerialE2E, ResetAnsweredMeansNotReset) {
    SSimOptions options;
    options.m_faults.m_bAnswerReset = true;
    Start(options);
    EXPECT_EQ(m_pLink->ResetUnit(), 0);
    EXPECT_EQ(Messages(), Msgs{"Orvik did not reset"});
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.Restarts(); }), 0u);
}

TEST_F(SerialE2E, GarbledRepliesAreRetriedInvalidOnesFail) {
    SSimOptions options;
    options.m_faults.m_nGarbleEvery = 2;
    Start(options);
    EXPECT_EQ(m_pLink->CheckUnit(), 0);
    EXPECT_TRUE(Messages().empty());
    // A refused reply leaves the counter alone: the retry is the same frame.
    const auto sent = Sent();
    ASSERT_GE(sent.size(), 5u);

    SSimFaults faults;
    faults.m_bHighBits = true;
    Faults(faults);
    EXPECT_EQ(m_pLink->CheckUnit(), frame::ERR_INVALID);
    EXPECT_EQ(Messages(), (Msgs{NOT_RESPONDING, MSG_CHECK_CONNECT}));
}

TEST_F(SerialE2E, PortHeldElsewhereCannotBeOpened) {
    Start();
    CSerlComm holder(&m_scp, &m_prompts);
    ASSERT_EQ(holder.CheckUnit(), 0);
    EXPECT_EQ(m_pLink->CheckUnit(), 1);
    EXPECT_EQ(Messages(), (Msgs{"Unable to open port", MSG_CHECK_CONNECT}));
    EXPECT_FALSE(m_pLink->IsOpen());
}
