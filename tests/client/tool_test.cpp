// capture-tool end to end: the binary, run against simulated cards.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

// Runs the tool with `args` (shell words), the simulated clock run fast.
Outcome Tool(const std::string& args) {
  static int counter = 0;
  auto errPath = std::filesystem::temp_directory_path() /
                 ("capture-tool-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::string command = std::string(CAPTURE_TOOL_PATH) + " " + args + " 2>" + errPath.string();
  Outcome run{-1, "", ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errPath);
  run.err.assign(std::istreambuf_iterator<char>(err), {});
  std::filesystem::remove(errPath);
  return run;
}

const std::string kSim = "--speedup 50 --sim ";

TEST(Tool, ListsSimulatedCards) {
  Outcome r = Tool(kSim + "2 list");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\\\\.\\Talvrex_v100-0 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\\\\.\\Talvrex_v100-1 "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Talvrex_v100-2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("family A  max transfer 0x600000  driver interface 0x00020603"), std::string::npos) << r.out;

  r = Tool(kSim + "1 --product qm4200 list");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\\\\.\\QM4200_v100-0 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("family B"), std::string::npos) << r.out;
}

TEST(Tool, RegistersVersionAndDump) {
  Outcome r = Tool(kSim + "1 reg write 0x2000 0x1234 --read-back");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "0x00001234\n");
  r = Tool(kSim + "1 reg write 8192 4660");  // decimal; prints nothing
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  r = Tool(kSim + "1 --direct-read reg read 0x6008");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "0x00000801\n");

  r = Tool(kSim + "2 --device QM4200_v100-1 version");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "0x00020603\n");

  r = Tool(kSim + "1 dump");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("0x7930  write-delay-us"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("pCommonBuffer_LA_DmaWrite"), std::string::npos) << r.out;

  r = Tool(kSim + "1 --verbose version");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("[Talvrex] "), std::string::npos);
  EXPECT_NE(r.err.find("DriverUnload"), std::string::npos) << "the output of removal and unload too";
}

TEST(Tool, ExitCodes) {
  // No such card: the command fails.
  Outcome r = Tool(kSim + "1 --product Talvrex --instance 3 version");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err,
            "capture-tool: open \\\\.\\Talvrex_v100-3: the system cannot find the file specified (Win32 error 2)\n");
  EXPECT_EQ(r.out, "");
  r = Tool(kSim + "1 --instance 3 version");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "capture-tool: open: no card found with instance 3\n");

  for (const char* usage : {"", "reg read", "reg read 0x", "reg read 010", "reg write 1", "frobnicate",
                            "--product Nosuch list", "--device Talvrex_v100-0 --product Talvrex list",
                            "--instance 64 list", "--sim 1 --msi-messages 3 list"}) {
    r = Tool(kSim + "1 " + usage);
    EXPECT_EQ(r.code, 2) << usage << ": " << r.err;
    EXPECT_NE(r.err, "") << usage;
  }
  r = Tool("list");  // no cards but simulated ones on Linux
  EXPECT_EQ(r.code, 2);

  for (const char* help : {"--help", "reg --help", "reg write --help", "list --help", "dump --help"}) {
    r = Tool(help);
    EXPECT_EQ(r.code, 0) << help;
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << help;
  }
}

}  // namespace
