// Device security without a device: SDDL as the INF writes it, the access
// check of the three tokens, and the INF reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "pnp/inf.h"
#include "se/security.h"
#include "wdmsim/kernel.h"

namespace {

using wdmsim::Token;
namespace se = wdmsim::se;

constexpr const char* kInfSddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr const char* kDefault = "default";  // the descriptor IoCreateDevice gives a named device
constexpr uint32_t kReadWrite = wdmsim::GENERIC_READ | wdmsim::GENERIC_WRITE;
constexpr uint32_t kCreateFileAdds = wdmsim::SYNCHRONIZE | wdmsim::FILE_READ_ATTRIBUTES;

struct CheckCase {
  const char* sddl;
  Token token;
  uint32_t desired;
  NTSTATUS status;
  uint32_t granted;  // when granted
};

std::ostream& operator<<(std::ostream& out, const CheckCase& c) {
  return out << c.sddl << " token " << static_cast<int>(c.token) << " desired 0x" << std::hex << c.desired;
}

class AccessCheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(AccessCheckTest, GrantsExactlyWhatTheDaclAllows) {
  const CheckCase& c = GetParam();
  auto descriptor = std::string(c.sddl) == kDefault ? se::DefaultDeviceDescriptor()
                                                     : std::make_shared<const se::SecurityDescriptor>(se::ParseSddl(c.sddl));
  se::AccessResult result = se::AccessCheck(descriptor.get(), c.token, c.desired);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.granted, NT_SUCCESS(c.status) ? c.granted : 0u);
}

constexpr uint32_t kRw = se::FILE_GENERIC_READ | se::FILE_GENERIC_WRITE;

INSTANTIATE_TEST_SUITE_P(
    Tokens, AccessCheckTest,
    ::testing::Values(
        // The INF's descriptor: the system and administrators only.
        CheckCase{kInfSddl, Token::System, kReadWrite, STATUS_SUCCESS, kRw},
        CheckCase{kInfSddl, Token::Administrator, kReadWrite | kCreateFileAdds, STATUS_SUCCESS, kRw | kCreateFileAdds},
        CheckCase{kInfSddl, Token::Administrator, wdmsim::GENERIC_ALL, STATUS_SUCCESS, se::FILE_ALL_ACCESS},
        CheckCase{kInfSddl, Token::StandardUser, kReadWrite, STATUS_ACCESS_DENIED, 0},
        CheckCase{kInfSddl, Token::StandardUser, kCreateFileAdds, STATUS_ACCESS_DENIED, 0},
        CheckCase{kInfSddl, Token::Administrator, 0, STATUS_ACCESS_DENIED, 0},  // nothing asked, nothing granted
        // The default: everyone reads, writes and executes, but not all access.
        CheckCase{kDefault, Token::StandardUser, kReadWrite | wdmsim::GENERIC_EXECUTE, STATUS_SUCCESS,
                  kRw | se::FILE_GENERIC_EXECUTE},
        CheckCase{kDefault, Token::StandardUser, wdmsim::FILE_READ_DATA, STATUS_SUCCESS, wdmsim::FILE_READ_DATA},
        CheckCase{kDefault, Token::StandardUser, wdmsim::GENERIC_ALL, STATUS_ACCESS_DENIED, 0},
        CheckCase{kDefault, Token::Administrator, wdmsim::GENERIC_ALL, STATUS_SUCCESS, se::FILE_ALL_ACCESS},
        CheckCase{kDefault, Token::System, 0, STATUS_ACCESS_DENIED, 0},
        // ACEs apply in order: a deny after the grant is too late, one before it wins.
        CheckCase{"D:(A;;GA;;;WD)(D;;GA;;;BU)", Token::StandardUser, kReadWrite, STATUS_SUCCESS, kRw},
        CheckCase{"D:(D;;0x2;;;BU)(A;;GA;;;WD)", Token::StandardUser, wdmsim::GENERIC_READ, STATUS_SUCCESS,
                  se::FILE_GENERIC_READ},
        CheckCase{"D:(D;;0x2;;;BU)(A;;GA;;;WD)", Token::Administrator, wdmsim::FILE_WRITE_DATA, STATUS_ACCESS_DENIED, 0},
        CheckCase{"D:(D;;0x2;;;BU)(A;;GA;;;WD)", Token::System, wdmsim::FILE_WRITE_DATA, STATUS_SUCCESS,
                  wdmsim::FILE_WRITE_DATA},
        // FW shares READ_CONTROL and SYNCHRONIZE with FR: denying it denies reading too.
        CheckCase{"D:(D;;FW;;;BU)(A;;GA;;;WD)", Token::StandardUser, wdmsim::GENERIC_READ, STATUS_ACCESS_DENIED, 0},
        // Hex masks, SID strings, inherit-only ACEs, empty and null DACLs.
        CheckCase{"D:(A;;0x1;;;S-1-5-32-545)", Token::StandardUser, wdmsim::FILE_READ_DATA, STATUS_SUCCESS,
                  wdmsim::FILE_READ_DATA},
        CheckCase{"D:(A;;0x1;;;S-1-5-32-545)", Token::StandardUser, wdmsim::FILE_WRITE_DATA, STATUS_ACCESS_DENIED, 0},
        CheckCase{"D:(A;;GRGW;;;IU)", Token::StandardUser, kReadWrite, STATUS_SUCCESS, kRw},
        CheckCase{"D:(A;;GRGW;;;IU)", Token::System, kReadWrite, STATUS_ACCESS_DENIED, 0},  // the system is not interactive
        CheckCase{"D:(A;CIIO;GA;;;WD)", Token::System, wdmsim::GENERIC_READ, STATUS_ACCESS_DENIED, 0},
        CheckCase{"D:P", Token::System, wdmsim::FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
        CheckCase{"D:NO_ACCESS_CONTROL", Token::StandardUser, wdmsim::GENERIC_ALL, STATUS_SUCCESS, se::FILE_ALL_ACCESS},
        CheckCase{"O:BAG:SYD:PAI(A;;GA;;;AU)", Token::StandardUser, wdmsim::GENERIC_ALL, STATUS_SUCCESS,
                  se::FILE_ALL_ACCESS}));

TEST(SddlTest, NoDescriptorAtAllGrantsWhatIsAsked) {
  EXPECT_EQ(se::AccessCheck(nullptr, Token::StandardUser, wdmsim::GENERIC_ALL).granted, se::FILE_ALL_ACCESS);
}

TEST(SddlTest, RestrictedCodeIsNotAGroupOfOrdinaryTokens) {
  auto descriptor = se::ParseSddl("D:(A;;GA;;;RC)");
  for (Token token : {Token::System, Token::Administrator, Token::StandardUser}) {
    EXPECT_EQ(se::AccessCheck(&descriptor, token, wdmsim::GENERIC_READ).status, STATUS_ACCESS_DENIED);
  }
}

class MalformedSddlTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedSddlTest, IsRefusedNamingTheText) {
  const std::string text = GetParam();
  try {
    se::ParseSddl(text);
    FAIL() << "accepted " << text;
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("\"" + text + "\""), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, MalformedSddlTest,
                         ::testing::Values("", "(A;;GA;;;WD)", "D:(A;;GA;;;XX)", "D:(A;;GQ;;;WD)", "D:(A;;GA;;WD)",
                                           "D:(X;;GA;;;WD)", "D:(A;;0xZZ;;;WD)", "D:(A;;;;;WD)", "D:P(A;;GA;;;SY",
                                           "D:(A;;GA;;;SY)junk", "D:(A;;GA;;;S-1-)", "S:(AU;SA;GA;;;WD)",
                                           "D:(OA;;GA;guid;;WD)", "D:(A;ZZ;GA;;;WD)", "O:XXD:(A;;GA;;;WD)",
                                           "D:NO_ACCESS_CONTROL(A;;GA;;;WD)"));

// ---------------------------------------------------------------------------
// The INF reader
// ---------------------------------------------------------------------------
class InfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("wdmsim-inf-test-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  // Writes `lines` with CRLF line ends, as INF files have them.
  std::string Write(const std::string& name, const std::vector<std::string>& lines) {
    std::ofstream out(dir / name, std::ios::binary);
    for (const auto& line : lines) out << line << "\r\n";
    return (dir / name).string();
  }
  std::filesystem::path dir;
};

TEST_F(InfTest, ReadsTheHardwareSectionOfTheInstalledModel) {
  std::string path = Write("Card.inf", {
      "; Card.inf",
      "[version]",
      "Signature = \"$WINDOWS NT$\"",
      "",
      "[MANUFACTURER]",
      "%Mfg% = Card_Models, NTamd64   ; x64 only",
      "[Card_Models.NTamd64]",
      "%Desc% = Card_Device, PCI\\VEN_FEED&DEV_0010",
      "",
      "; Another model's sections that no x64 model installs.",
      "[Other_Device.NT.HW]",
      "AddReg = Other_AddReg",
      "[Other_AddReg]",
      "HKR,,Security,,\"D:P(A;;GA;;;WD)\"",
      "",
      "[Card_Device.NT]",
      "CopyFiles = Card_CopyFiles",
      "[card_device.nt.hw]",
      "AddReg = Card_Security, \\",
      "         Card_Characteristics",
      "[Card_Security]",
      "hkr,,security,,\"D:P(A;;GA;;;SY)(A;;GA;;;BA)\" ; quoted: the semicolons are the SDDL's",
      "HKR,Parameters,Security,,\"D:P(A;;GA;;;WD)\"  ; a subkey, not the device's own value",
      "[Card_Characteristics]",
      "HKR,,DeviceCharacteristics,0x10001,0x100",
      "[Strings]",
      "Mfg = \"Maker\"",
      "Desc = \"Card\"",
  });
  wdmsim::pnp::InfDeviceSettings settings = wdmsim::pnp::ReadInfDeviceSettings(path);
  EXPECT_EQ(settings.security, std::optional<std::string>(kInfSddl));
  EXPECT_EQ(settings.characteristics, std::optional<uint32_t>(0x100));
}

TEST_F(InfTest, WithoutManufacturerEveryHardwareSectionIsReadAndStringsAreSubstituted) {
  auto settings = wdmsim::pnp::ParseInfDeviceSettings(
      "[A.NT.HW]\r\nAddReg=A_Reg\r\n[A_Reg]\r\nHKR,,DeviceCharacteristics,0x10001,256\r\n"
      "[B.NT.HW]\r\nAddReg=B_Reg\r\n[B_Reg]\r\nHKR,,Security,,%Sddl%\r\n"
      "[Strings]\r\nSDDL=\"D:P(A;;GR;;;WD)\"\r\n",
      "test");
  EXPECT_EQ(settings.security, std::optional<std::string>("D:P(A;;GR;;;WD)"));
  EXPECT_EQ(settings.characteristics, std::optional<uint32_t>(256));
}

TEST_F(InfTest, AnInfThatSetsNothingLeavesTheDefaults) {
  auto settings = wdmsim::pnp::ParseInfDeviceSettings("[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n", "test");
  EXPECT_FALSE(settings.security.has_value());
  EXPECT_FALSE(settings.characteristics.has_value());
}

TEST_F(InfTest, AnUnreadableCharacteristicsValueFailsNamingTheFile) {
  EXPECT_THROW(wdmsim::pnp::ParseInfDeviceSettings(
                   "[A.HW]\r\nAddReg=R\r\n[R]\r\nHKR,,DeviceCharacteristics,0x10001,0x10G\r\n", "A.inf"),
               std::runtime_error);
}

TEST_F(InfTest, IsLookedForBesideTheImage) {
  EXPECT_EQ(wdmsim::pnp::InfPathBeside("/images/Talvrex.sys.so"), "/images/Talvrex.inf");
  EXPECT_EQ(wdmsim::pnp::InfPathBeside("/images/Talvrex.sys"), "/images/Talvrex.inf");
  EXPECT_EQ(wdmsim::pnp::InfPathBeside("Talvrex.SYS"), "Talvrex.inf");
}

NTSTATUS NTAPI EmptyDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST_F(InfTest, TheDriverKeepsWhatItsInfSetsAndABadDescriptorFailsTheLoad) {
  wdmsim::Kernel kernel;
  std::string good = Write("Good.inf", {"[X.HW]", "AddReg=R", "[R]", "HKR,,Security,,\"D:P(A;;GA;;;SY)\"",
                                        "HKR,,DeviceCharacteristics,0x10001,0x100"});
  wdmsim::DriverImage& image = kernel.LoadBuiltInDriver("Good", EmptyDriverEntry, good);
  EXPECT_EQ(image.securitySddl(), std::optional<std::string>("D:P(A;;GA;;;SY)"));
  EXPECT_EQ(image.deviceCharacteristics(), 0x100u);

  std::string bad = Write("Bad.inf", {"[X.HW]", "AddReg=R", "[R]", "HKR,,Security,,\"D:P(A;;GA;;;NOBODY)\""});
  try {
    kernel.LoadBuiltInDriver("Bad", EmptyDriverEntry, bad);
    FAIL() << "loaded with an unreadable descriptor";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("D:P(A;;GA;;;NOBODY)"), std::string::npos) << e.what();
  }
  EXPECT_EQ(kernel.Findings(), std::vector<std::string>{});
}

}  // namespace
