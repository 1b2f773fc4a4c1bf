// The demo: boots wdmsim, loads the Talvrex build of the driver, plugs in two
// simulated cards and takes them through what a capture application and
// Windows do to a card: start, register access, capture and playout of
// test-pattern frames, a loopback, sleep and resume, a rebalance and a
// surprise removal. It shows what the driver printed and whether every
// byte that travelled arrived intact.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "interface/dma_registers.h"
#include "card/frames.h"
#include "interface/ioctl.h"
#include "interface/registers.h"
#include "pattern_picture.h"
#include "png_codec.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"

namespace {

using Clock = std::chrono::steady_clock;

void Section(const char* title) { std::printf("\n== %s\n", title); }

// Prints what the image printed since the last call, at most `limit` lines.
void ShowDriverOutput(wdmsim::DriverImage& image, size_t limit = 40) {
  auto lines = image.DbgLines();
  size_t shown = 0;
  for (const auto& line : lines) {
    if (shown++ == limit) {
      std::printf("   [%s] ... (%zu more lines)\n", image.name().c_str(), lines.size() - limit);
      break;
    }
    std::printf("   [%s] %s\n", image.name().c_str(), line.c_str());
  }
  image.ClearDbgOutput();
}

// One open handle to a card and the control requests the demo sends.
class Device {
 public:
  Device(wdmsim::Process& process, const std::u16string& path) : process_(process) {
    handle_ = process.CreateFileW(path);
  }
  ~Device() {
    if (ok()) process_.CloseHandle(handle_);
  }
  bool ok() const { return handle_ != wdmsim::INVALID_HANDLE_VALUE; }

  bool Send(IOCTL_BUFFER_A& block) {
    uint32_t returned = 0;
    return process_.DeviceIoControl(handle_, IOCTL_COMMAND, &block, sizeof(block), &block, sizeof(block), &returned);
  }
  uint32_t Command(uint32_t command, uint32_t addr = 0, uint32_t data = 0, uint32_t param0 = 0,
                   uint32_t param1 = 0, bool* ok = nullptr) {
    IOCTL_BUFFER_A block{};
    block.ulCommand = command;
    block.ulAddr = addr;
    block.ulData = data;
    block.ulParam0 = param0;
    block.ulParam1 = param1;
    bool sent = Send(block) && block.ulResult == RESULT_SUCCESS;
    if (ok != nullptr) *ok = sent;
    return block.ulData;
  }
  uint32_t Read(uint32_t offset) { return Command(IOCTL_GET_REGISTER, offset); }
  bool RegisterEvent(uint32_t command, HANDLE event) {
    IOCTL_BUFFER_A block{};
    block.ulCommand = command;
    block.hEvent = reinterpret_cast<uint64_t>(event);
    return Send(block) && block.ulResult == RESULT_SUCCESS;
  }
  // One transfer: start, wait for the driver's completion event, finish.
  // Cards that report completion in status registers are signalled on every
  // poll run while the register is set, which stays so until the next start:
  // a wake is this transfer's only once its status word is set (the client
  // library does the same).
  bool Transfer(bool toCard, void* buffer, uint32_t length, uint32_t startRegister, uint32_t param, HANDLE event) {
    if (!registerMode_) registerMode_ = (Read(regs::kRegCapability) & regs::kCapDirectRead) != 0;
    process_.ResetEvent(event);  // a signal left from the previous transfer
    bool ok = false;
    Command(toCard ? IOCTL_START_DMAREAD : IOCTL_START_DMAWRITE,
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer)), length, startRegister, param, &ok);
    if (!ok) return false;
    for (;;) {
      if (process_.WaitForSingleObject(event, 5000) != wdmsim::WAIT_OBJECT_0) return false;
      if (!*registerMode_) break;
      IOCTL_BUFFER_A query{};
      query.ulCommand = toCard ? IOCTL_QUERY_DMAREAD_CLEAR : IOCTL_QUERY_DMAWRITE_CLEAR;
      if (!Send(query) || query.ulAddr == 0) break;  // the word is set: this transfer ended
    }
    Command(toCard ? IOCTL_RELEASE_DMAREAD : IOCTL_FINISH_DMAWRITE, 0, 0, 0, 0, &ok);
    return ok;
  }

 private:
  wdmsim::Process& process_;
  HANDLE handle_;
  std::optional<bool> registerMode_;
};

double Seconds(int64_t sim100ns) { return static_cast<double>(sim100ns) / 1e7; }

// Two frames captured and verified (header, CRC-32, pattern) and two played
// out and counted good by the card's sink; prints how many of each passed
// and answers how many of the four failed.
int FramesFailing(const char* when, Device& card, uint8_t* buffer, HANDLE readDone, HANDLE writeDone) {
  constexpr uint32_t kBytes = 256 * 1024;
  int captured = 0;
  for (int i = 0; i < 2; ++i) {
    captured += card.Transfer(false, buffer, kBytes, regs::dma::kStartCapture, card::frames::kPatternNoise,
                              writeDone) &&
                card::frames::VerifyFrame({buffer, kBytes}).verdict == card::frames::Verdict::kGood &&
                card::frames::MatchesPattern({buffer, kBytes});
  }
  const uint32_t sinkGood = card.Read(regs::dma::kSinkFramesGood);
  int sent = 0;
  for (int i = 0; i < 2; ++i) {
    card::frames::MakeFrame({buffer, kBytes}, 2000 + i, card::frames::kPatternCounter);
    sent += card.Transfer(true, buffer, kBytes, regs::dma::kStartPlayout, 0, readDone);
  }
  const int played = static_cast<int>(std::min<uint32_t>(card.Read(regs::dma::kSinkFramesGood) - sinkGood, 2));
  std::printf("   %s: %d of 2 frames captured and verified, %d of 2 played out (%d completed) and counted good\n",
              when, captured, played, sent);
  return 4 - captured - played;
}

// A captured frame as capture-tool --png draws it: the test pattern with
// any wrong line marked red. Answers the file's path, or "" on failure.
std::string WritePicture(const std::filesystem::path& dir, const std::string& name, std::span<const uint8_t> frame,
                         std::string* summary) {
  const auto picture = capture_tool::DrawPatternPicture(frame, 1024, 0, card::frames::kPatternNoise);
  std::string error;
  const auto png = capture_tool::EncodePng(picture.image, &error);
  std::filesystem::create_directories(dir);
  const std::filesystem::path path = dir / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  *summary = picture.summary;
  return !png.empty() && out.flush() ? path.string() : "";
}

}  // namespace

int main(int argc, char** argv) {
  // capture-demo [--image sys|so] [directory of the image]: the shipped
  // image (Talvrex.sys, built with the kit) by default, or the wdmsim build
  // of the same source (Talvrex.sys.so).
  std::string kind = std::string(SHIPPED_IMAGE_DIR).empty() ? "so" : "sys";
  std::string imageDir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--image" && i + 1 < argc) {
      kind = argv[++i];
    } else if (arg.starts_with("--image=")) {
      kind = arg.substr(8);
    } else {
      imageDir = arg;
    }
  }
  if (kind != "sys" && kind != "so") {
    std::fprintf(stderr, "usage: capture-demo [--image sys|so] [image directory]\n");
    return 2;
  }
  if (imageDir.empty()) imageDir = kind == "sys" ? SHIPPED_IMAGE_DIR : WDMSIM_IMAGE_DIR;
  std::string path = imageDir + (kind == "sys" ? "/Talvrex.sys" : "/Talvrex.sys.so");
  constexpr uint32_t kFrameBytes = 1 << 20;
  constexpr int kFrames = 16;

  Section("Booting wdmsim (2 simulated processors, clock at real speed)");
  // The real-time clock, so that the throughput it prints is the host's.
  wdmsim::Kernel kernel(wdmsim::Options{.clock = wdmsim::ClockMode::Realtime});
  auto& process = kernel.DefaultProcess();

  Section(kind == "sys" ? "Loading the Talvrex driver image as shipped (PE32+, built with the kit)"
                        : "Loading the Talvrex driver image built for wdmsim");
  std::printf("   %s\n", path.c_str());
  wdmsim::DriverImage& image = kernel.LoadDriver(path);
  ShowDriverOutput(image);

  Section("Plugging in two simulated cards (the PnP manager calls AddDevice)");
  card::CardOptions directRead;
  directRead.directRead = true;  // the second card announces direct register reads
  wdmsim::Slot& first = card::PlugCard(kernel, image);
  wdmsim::Slot& second = card::PlugCard(kernel, image, directRead);
  ShowDriverOutput(image);

  Section("Device objects and their Win32 links");
  for (const auto& name : kernel.NamesIn(u"\\DosDevices")) {
    std::u16string link = u"\\DosDevices\\" + name;
    std::printf("   %s -> %s\n", wdmsim::Narrow(link).c_str(), wdmsim::Narrow(kernel.SymbolicLinkTarget(link)).c_str());
  }

  Section("Opening \\\\.\\Talvrex_v100-0 before the card is started");
  {
    Device early(process, u"\\\\.\\Talvrex_v100-0");
    std::printf("   %s, Win32 error %u (STATUS_INSUFFICIENT_RESOURCES)\n", early.ok() ? "opened?!" : "refused",
                process.GetLastError());
  }
  ShowDriverOutput(image);

  Section("Starting both cards (IRP_MN_START_DEVICE with the bus driver's resources)");
  std::printf("   card 0: 0x%08X, card 1: 0x%08X\n", static_cast<uint32_t>(kernel.StartCard(first)),
              static_cast<uint32_t>(kernel.StartCard(second)));
  ShowDriverOutput(image, 30);

  int failures = 0;
  {
    Device card0(process, u"\\\\.\\Talvrex_v100-0");
    Section("Register access on card 0");
    std::printf("   interface version          0x%08X\n", card0.Command(IOCTL_GET_VERSION));
    std::printf("   capability (0x6008)        0x%08X  (write-back read)\n", card0.Read(0x6008));
    std::printf("   DmaRead buffer bus address 0x%08X\n", card0.Read(PSEUDO_REG_DMAREAD_BUFFER_LOW));
    std::printf("   DmaWrite buffer bus address 0x%08X\n", card0.Read(PSEUDO_REG_DMAWRITE_BUFFER_LOW));
    ShowDriverOutput(image);

    HANDLE readDone = process.CreateEventW(false, false);
    HANDLE writeDone = process.CreateEventW(false, false);
    card0.RegisterEvent(IOCTL_SET_EVENT_DMAREAD, readDone);
    card0.RegisterEvent(IOCTL_SET_EVENT_DMAWRITE, writeDone);
    auto* buffer = static_cast<uint8_t*>(process.VirtualAlloc(kFrameBytes));

    Section("Capturing 16 frames of 1 MiB (card to host)");
    int good = 0;
    int64_t sim0 = kernel.SystemTime100ns();
    auto real0 = Clock::now();
    std::vector<std::vector<uint8_t>> kept;  // the last three frames, for pictures after the run
    for (int i = 0; i < kFrames; ++i) {
      if (card0.Transfer(false, buffer, kFrameBytes, regs::dma::kStartCapture, card::frames::kPatternNoise, writeDone) &&
          card::frames::VerifyFrame({buffer, kFrameBytes}).verdict == card::frames::Verdict::kGood &&
          card::frames::MatchesPattern({buffer, kFrameBytes})) {
        ++good;
      }
      if (i >= kFrames - 3) kept.emplace_back(buffer, buffer + kFrameBytes);
    }
    double sim = Seconds(kernel.SystemTime100ns() - sim0);
    double real = std::chrono::duration<double>(Clock::now() - real0).count();
    std::printf("   %d of %d frames verified (header, CRC-32, pattern); %.1f MiB/s simulated, %.1f MiB/s real\n", good,
                kFrames, kFrames / sim, kFrames / real);
    failures += kFrames - good;

    // Pictures of the last frames as captured, and of a copy damaged on
    // purpose, as capture-tool capture --png draws them.
    const auto pictures = std::filesystem::path(WDMSIM_IMAGE_DIR).parent_path() / "demo-frames";
    std::printf("   pictures (test pattern, 1024 bytes a line; margin green: line right, red: line wrong):\n");
    std::string path, summary;
    for (size_t k = 0; k < kept.size(); ++k) {
      const int number = kFrames - static_cast<int>(kept.size()) + static_cast<int>(k);
      path = WritePicture(pictures, "frame-" + std::to_string(number) + ".png", kept[k], &summary);
      std::printf("   %s  %s\n", path.c_str(), summary.c_str());
      failures += path.empty();
    }
    std::vector<uint8_t>& damaged = kept.back();
    for (size_t at = 300 * 1024 + 200; at < 300 * 1024 + 900; ++at) damaged[at] ^= 0x5A;
    damaged[700 * 1024 + 512] ^= 0x01;
    path = WritePicture(pictures, "frame-15-damaged-on-purpose.png", damaged, &summary);
    std::printf("   %s  %s (701 bytes changed on purpose)\n", path.c_str(), summary.c_str());
    failures += path.empty();

    Section("Playing 16 frames out (host to card)");
    sim0 = kernel.SystemTime100ns();
    int sent = 0;
    for (int i = 0; i < kFrames; ++i) {
      card::frames::MakeFrame({buffer, kFrameBytes}, 1000 + i, card::frames::kPatternCounter);
      sent += card0.Transfer(true, buffer, kFrameBytes, regs::dma::kStartPlayout, 0, readDone);
    }
    sim = Seconds(kernel.SystemTime100ns() - sim0);
    uint32_t sinkGood = card0.Read(regs::dma::kSinkFramesGood), sinkBad = card0.Read(regs::dma::kSinkFramesBad);
    std::printf("   %d sent; the card's sink counted %u good, %u bad, last frame %u; %.1f MiB/s simulated\n", sent,
                sinkGood, sinkBad, card0.Read(regs::dma::kSinkLastFrame), kFrames / sim);
    failures += static_cast<int>(kFrames - sinkGood) + static_cast<int>(sinkBad);

    Section("Loopback: 777,777 random bytes out and back");
    // The card moves whole 32-bit words: a length that is not a multiple of
    // 4 travels only up to its last whole word, and the demo says so rather
    // than call the rest intact.
    constexpr uint32_t kLoopbackBytes = 777777;
    constexpr uint32_t kTravelling = kLoopbackBytes & ~3u;
    std::vector<uint8_t> pattern(kLoopbackBytes);
    std::mt19937 random(7);
    for (auto& b : pattern) b = static_cast<uint8_t>(random());
    std::memcpy(buffer, pattern.data(), pattern.size());
    if (kTravelling != kLoopbackBytes) {
      const uint32_t left = kLoopbackBytes - kTravelling;
      std::printf("   warning: %u bytes is not a multiple of 4; the card moves the first %u, and the last %u %s\n",
                  kLoopbackBytes, kTravelling, left, left == 1 ? "byte does not travel" : "bytes do not travel");
    }
    bool out = card0.Transfer(true, buffer, kTravelling, regs::dma::kStartPlayout, 0, readDone);
    std::memset(buffer, 0, kFrameBytes);
    bool back = card0.Transfer(false, buffer, kTravelling, regs::dma::kStartLoopback, 0, writeDone);
    bool same = std::memcmp(buffer, pattern.data(), kTravelling) == 0;
    std::printf("   %s: %u of %u bytes compared, %u not sent\n",
                out && back && same ? "all bytes that travelled came back intact" : "MISMATCH", kTravelling,
                kLoopbackBytes, kLoopbackBytes - kTravelling);
    failures += !(out && back && same);
    image.ClearDbgOutput();

    Section("Sleep and resume (the driver asks for D3 and D0; the card loses its registers in D3)");
    kernel.SleepAndResume();
    ShowDriverOutput(image, 12);
    std::printf("   after resume: capability 0x%08X, version 0x%08X\n", card0.Read(0x6008),
                card0.Command(IOCTL_GET_VERSION));
    failures += FramesFailing("after resume", card0, buffer, readDone, writeDone);
    ShowDriverOutput(image, 6);
    process.CloseHandle(readDone);
    process.CloseHandle(writeDone);
    process.VirtualFree(buffer);
  }

  Section("Rebalance of card 1 (query-stop, stop, start)");
  std::printf("   status 0x%08X\n", static_cast<uint32_t>(kernel.Rebalance(second)));
  ShowDriverOutput(image, 16);
  {
    Device card1(process, u"\\\\.\\Talvrex_v100-1");
    HANDLE readDone = process.CreateEventW(false, false);
    HANDLE writeDone = process.CreateEventW(false, false);
    card1.RegisterEvent(IOCTL_SET_EVENT_DMAREAD, readDone);
    card1.RegisterEvent(IOCTL_SET_EVENT_DMAWRITE, writeDone);
    auto* buffer = static_cast<uint8_t*>(process.VirtualAlloc(kFrameBytes));
    std::printf("   after the restart: version 0x%08X\n", card1.Command(IOCTL_GET_VERSION));
    failures += FramesFailing("after the restart", card1, buffer, readDone, writeDone);
    process.VirtualFree(buffer);
    process.CloseHandle(readDone);
    process.CloseHandle(writeDone);
  }

  Section("Surprise removal of card 1");
  std::printf("   status 0x%08X\n", static_cast<uint32_t>(kernel.SurpriseRemove(second)));
  ShowDriverOutput(image, 16);

  Section("Removing card 0 and unloading the driver");
  for (auto* slot : kernel.Slots()) kernel.RemoveCard(*slot);
  image.ClearDbgOutput();
  std::string rest = kernel.UnloadDriver(image);
  std::printf("   [Talvrex] %s", rest.c_str());

  Section("Verifier");
  auto findings = kernel.Findings();
  if (findings.empty()) std::printf("   nothing held, nothing leaked, no request lost\n");
  for (const auto& f : findings) std::printf("   %s\n", f.c_str());
  bool clean = findings.empty() && kernel.BugCheckReport().empty() && failures == 0;
  std::printf("\n%s\n", clean ? "Demo finished: every check passed." : "Demo finished WITH FAILURES.");
  return clean ? 0 : 1;
}
