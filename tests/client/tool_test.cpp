// capture-tool end to end: the binary, run against simulated cards.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

const std::string kSim = "--sim ";

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

TEST(Tool, SaysPlainlyThatACardNeedsAdministratorRights) {
  Outcome r = Tool(kSim + "1 --account user version");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("access is denied (Win32 error 5, NTSTATUS 0xC0000022): opening a card needs administrator "
                       "rights (run as administrator)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Tool(kSim + "1 --account system version").code, 0);
  EXPECT_NE(Tool("--help").out.find("Opening a card needs administrator rights"), std::string::npos);
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

// Element nesting of an SVG document: every element closed, in order, one root.
bool WellFormedSvg(const std::string& text, std::string* why) {
  std::vector<std::string> open;
  size_t roots = 0;
  for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
    size_t end = text.find('>', at);
    if (end == std::string::npos) return *why = "unterminated tag", false;
    std::string tag = text.substr(at + 1, end - at - 1);
    if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
    if (std::count(tag.begin(), tag.end(), '"') % 2 != 0) return *why = "unbalanced quotes in <" + tag + ">", false;
    if (tag[0] == '/') {
      if (open.empty() || open.back() != tag.substr(1)) return *why = "stray </" + tag.substr(1) + ">", false;
      open.pop_back();
      continue;
    }
    std::string name = tag.substr(0, tag.find_first_of(" /"));
    if (open.empty()) ++roots;
    if (tag.back() != '/') open.push_back(name);
  }
  if (!open.empty()) return *why = "<" + open.back() + "> not closed", false;
  if (roots != 1) return *why = "not one root element", false;
  return true;
}

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("capture-tool-test-" + std::to_string(getpid()) + "-" + name))
      .string();
}

TEST(Tool, CapturePlayAndLoopback) {
  const std::string frames = TempPath("frames.bin");
  Outcome r = Tool(kSim + "1 capture -n 4 --size 65536 -o " + frames);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("captured 4 frames of 65536 bytes to " + frames + ": 4 good, 0 bad"), std::string::npos)
      << r.out;
  EXPECT_EQ(std::filesystem::file_size(frames), 4u * 65536);

  // The sizes come from the frames' headers; the simulated sink judges them.
  r = Tool(kSim + "1 play " + frames);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("played 4 blocks (262144 bytes)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sink counted 4 good frames, 0 bad"), std::string::npos) << r.out;

  // A damaged frame: counted bad, and the run fails.
  {
    std::fstream f(frames, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(65536 + 5000);
    f.put('\x5A');
  }
  r = Tool(kSim + "1 play " + frames);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.out.find("sink counted 3 good frames, 1 bad"), std::string::npos) << r.out;
  std::filesystem::remove(frames);

  r = Tool(kSim + "1 loopback --size 100000 -n 2");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("2 of 2 rounds of 100000 random bytes came back intact"), std::string::npos) << r.out;
  // The command line's start register wins over the simulated card's: the
  // capture source sends back a frame, not the bytes played.
  r = Tool(kSim + "1 loopback --size 4096 --loopback-register 0x8004");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.out.find("0 of 1 rounds of 4096 random bytes came back intact"), std::string::npos) << r.out;

  for (const char* usage : {"capture --size 1001", "capture --size 16", "loopback --size 6", "play /nonexistent",
                            "capture --size 0x600004", "bench --sizes 4096,7"}) {
    r = Tool(kSim + "1 " + usage);
    EXPECT_EQ(r.code, 2) << usage << ": " << r.err;
  }
}

TEST(Tool, PoolAndEvents) {
  Outcome r = Tool(kSim + "1 pool list");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("  7  bus 0x"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("6422528 bytes (0x620000)"), std::string::npos) << r.out;

  const std::string in = TempPath("pool-in"), out = TempPath("pool-out");
  std::ofstream(in, std::ios::binary) << "pool round trip through entry 2";
  // Each run boots a fresh simulation: the round trip is one run's.
  r = Tool(kSim + "1 pool write 2 " + in + " --offset 0x40 --verify");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("wrote 31 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("read back: identical"), std::string::npos) << r.out;
  r = Tool(kSim + "1 pool read 2 --offset 0x40 --length 20");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 9), "00000040 ");
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1, 9), "00000050 ");
  r = Tool(kSim + "1 pool read 2 --length 16 -o " + out);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(std::filesystem::file_size(out), 16u);
  std::filesystem::remove(in);
  std::filesystem::remove(out);

  r = Tool(kSim + "1 --product QM4200 pool list");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("family A products only"), std::string::npos) << r.err;
  r = Tool(kSim + "1 pool read 2 --offset 0x620000 --length 1");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("pool buffer not copied"), std::string::npos) << r.err;

  r = Tool(kSim + "1 events -n 6 --traffic --connect --seconds 60");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("host-to-card completion"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("card-to-host completion"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("message interrupt"), std::string::npos) << r.out;
}

bool StartsLikePng(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[8] = {};
  in.read(head, 8);
  return in && std::string(head, 8) == std::string("\x89PNG\r\n\x1A\n", 8);
}

// capture --png: the simulated capture source gets the test-pattern view,
// which is for people and which play refuses; the raw view goes back through
// play byte for byte (the simulated sink checks every frame's CRC and pattern).
TEST(Tool, CaptureDrawsFramesAndPlayTakesRawPicturesBack) {
  const std::string pattern = TempPath("pattern-pictures"), raw = TempPath("raw-pictures");
  Outcome r = Tool(kSim + "1 capture -n 2 --size 65536 --png " + pattern);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("pictures (test pattern, 1024 bytes a line; margin green: line right, red: line wrong): " +
                       pattern + "/frame-00000.png .. frame-00001.png\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("lines wrong"), std::string::npos) << "every frame was right\n" << r.out;
  EXPECT_TRUE(StartsLikePng(pattern + "/frame-00001.png"));
  EXPECT_FALSE(std::filesystem::exists(pattern + "/frame-00002.png"));
  r = Tool(kSim + "1 play " + pattern + "/frame-00000.png");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("a pattern view is a picture for people, not frames to play"), std::string::npos) << r.err;

  // Every raw format, at a width that leaves the last line part-filled.
  for (const char* format : {"gray8", "gray16", "rgb24", "bgr24", "rgba32", "bgra32"}) {
    std::filesystem::remove_all(raw);
    r = Tool(kSim + "1 capture -n 3 --size 65536 --png-view raw --png-width 100 --png-format " + format + " --png " + raw);
    ASSERT_EQ(r.code, 0) << format << ": " << r.err;
    EXPECT_NE(r.out.find(std::string("pictures (raw bytes as ") + format + " pixels, 100 a line"), std::string::npos)
        << r.out;
    r = Tool(kSim + "1 play " + raw + "/frame-00000.png " + raw + "/frame-00001.png " + raw + "/frame-00002.png");
    ASSERT_EQ(r.code, 0) << format << ": " << r.err;
    EXPECT_NE(r.out.find("played 3 blocks (196608 bytes) from 3 files"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sink counted 3 good frames, 0 bad"), std::string::npos) << format << "\n" << r.out;
  }

  // The capture source alone gets the pattern view by default.
  std::filesystem::remove_all(raw);
  r = Tool(kSim + "1 capture -n 1 --size 4096 --start-register 0x8008 --png " + raw);
  EXPECT_NE(r.out.find("pictures (raw bytes as gray8 pixels, 1024 a line"), std::string::npos) << r.out;
  EXPECT_TRUE(StartsLikePng(raw + "/frame-00000.png"));

  for (const char* usage : {"--png-width 0", "--png-format yuv422", "--png-view both", "--png-width 70000"}) {
    r = Tool(kSim + "1 capture -n 1 --png " + raw + " " + usage);
    EXPECT_EQ(r.code, 2) << usage << ": " << r.err;
  }
  std::filesystem::remove_all(pattern);
  std::filesystem::remove_all(raw);
}

TEST(Tool, BenchPrintsATableAndDrawsAPicture) {
  const std::string svg = TempPath("bench.svg");
  Outcome r = Tool(kSim + "1 bench --sizes 4096,65536 -n 4 --svg " + svg);
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* row : {"      4096  host-to-card", "      4096  card-to-host", "     65536  host-to-card",
                          "     65536  card-to-host"}) {
    EXPECT_NE(r.out.find(row), std::string::npos) << row << "\n" << r.out;
  }
  std::ifstream file(svg);
  std::string text((std::istreambuf_iterator<char>(file)), {});
  std::string why;
  EXPECT_TRUE(WellFormedSvg(text, &why)) << why;
  EXPECT_NE(text.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_NE(text.find("<polyline"), std::string::npos);
  EXPECT_NE(text.find(">64 KiB</text>"), std::string::npos);
  // Three figures: throughput, processor time per byte with memcpy's line,
  // and the latency CDF.
  for (const char* heading : {"Throughput by transfer size", "Processor time per byte: the driver's threads",
                              "memcpy of the same bytes", "fraction of transfers done by then"}) {
    EXPECT_NE(text.find(heading), std::string::npos) << heading;
  }
  EXPECT_NE(r.out.find("cpu: processor time per cycle, the calling thread and the kernel's"), std::string::npos)
      << r.out;
  std::filesystem::remove(svg);
}

}  // namespace
