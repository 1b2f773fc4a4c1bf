// capture-tool: lists capture/playout cards and reads and writes their
// registers through the driver. On Linux it talks to simulated cards (--sim).
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "capture/products.h"
#include "commands.h"
#include "numbers.h"

#ifdef CAPTURE_TOOL_SIM
#include "simulation.h"
#include "wdmsim/kernel.h"
#else
#include "capture/win32_backend.h"
#endif

namespace {

using namespace capture_tool;

CLI::Validator Number(uint32_t max = UINT32_MAX) {
  return CLI::Validator([max](std::string& text) { return CheckNumber(text, max); }, "", "number");
}

CLI::Validator KnownProduct() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (capture::FindProduct(text) != nullptr) return "";
        std::string known;
        for (const auto& p : capture::Products()) known += (known.empty() ? "" : ", ") + std::string(p.name);
        return "unknown product '" + text + "' (known: " + known + ")";
      },
      "", "product");
}

uint32_t ToNumber(const std::string& text) { return ParseNumber(text).value_or(0); }  // validated before

#ifdef CAPTURE_TOOL_SIM
void PrintDriverLines(const std::string& product, const std::vector<std::string>& lines) {
  std::fflush(stdout);
  for (const auto& line : lines) fmt::print(stderr, "[{}] {}\n", product, line);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Lists capture/playout cards, reads and writes their registers, and moves data through the driver.",
               "capture-tool"};
  app.require_subcommand(1);
  app.fallthrough();
  app.footer("Opening a card needs administrator rights: run the tool as an administrator. Numbers are "
             "decimal, or hexadecimal with 0x. Exit codes: 0 success, 1 the driver or the card refused, 2 usage "
             "error.");

  std::string product, device, instanceText;
  bool verbose = false;
  auto* productOption =
      app.add_option("--product", product, "Product of the card (Talvrex, QM4200, ...)")
          ->check(KnownProduct())
          ->type_name("NAME");
  auto* instanceOption = app.add_option("--instance", instanceText, "Instance number of the card, 0..63")
                             ->check(Number(capture::kMaxInstances - 1))
                             ->type_name("N");
  app.add_option("--device", device, "Card by name: Talvrex_v100-0 or \\\\.\\Talvrex_v100-0")
      ->excludes(productOption)
      ->excludes(instanceOption)
      ->type_name("NAME");
  app.add_flag("-v,--verbose", verbose, "Also print what the driver printed (simulation only)");

#ifdef CAPTURE_TOOL_SIM
  std::string simText = "0", imageDir = WDMSIM_IMAGE_DIR, msiText = "1";
  double speedup = 1.0;
  bool directRead = false;
  const std::string sim = "Simulation";
  app.add_option("--sim", simText, "Boot wdmsim with N simulated cards of the product (default Talvrex)")
      ->check(Number(capture::kMaxInstances))
      ->type_name("N")
      ->group(sim);
  app.add_option("--image-dir", imageDir, "Directory of the <Product>.sys.so driver images")
      ->capture_default_str()
      ->check(CLI::ExistingDirectory)
      ->group(sim);
  app.add_flag("--direct-read", directRead, "The cards announce direct register reads (capability bit 11)")
      ->group(sim);
  app.add_option("--msi-messages", msiText, "Message interrupts of each card: 0 (none), 1, 2, 4, 8, 16 or 32")
      ->capture_default_str()
      ->check(CLI::IsMember({"0", "1", "2", "4", "8", "16", "32"}))
      ->group(sim);
  bool realtime = false;
  app.add_flag("--realtime", realtime,
               "Run the simulation on the host's clock (times --speedup) instead of its own simulated clock")
      ->group(sim);
  app.add_option("--speedup", speedup, "With --realtime: run the clock this many times faster than the host's")
      ->capture_default_str()
      ->check(CLI::PositiveNumber)
      ->group(sim);
  std::string account = "administrator";
  app.add_option("--account", account, "Run as this simulated account: system, administrator or user")
      ->capture_default_str()
      ->check(CLI::IsMember({"system", "administrator", "user"}))
      ->group(sim);
#endif

  auto* list = app.add_subcommand("list", "List the cards present and whether each can be used");
  auto* version = app.add_subcommand("version", "Print the driver's interface version");
  auto* dump = app.add_subcommand("dump", "Print the driver's pseudo registers and its diagnostic dump");
  auto* reg = app.add_subcommand("reg", "Read or write a card register");
  reg->require_subcommand(1);
  std::string offsetText, valueText;
  bool readBack = false;
  auto* regRead = reg->add_subcommand(
      "read", fmt::format("Read a register (offsets 0x{:04X}..0x{:04X}: the driver's own)", PSEUDO_REG_FIRST, PSEUDO_REG_LAST));
  regRead->add_option("offset", offsetText, "Register offset")->required()->check(Number())->type_name("NUMBER");
  auto* regWrite = reg->add_subcommand("write", "Write a register");
  regWrite->add_option("offset", offsetText, "Register offset")->required()->check(Number())->type_name("NUMBER");
  regWrite->add_option("value", valueText, "Value to write")->required()->check(Number())->type_name("NUMBER");
  regWrite->add_flag("--read-back", readBack, "Read the register back and print it");

  // Transfers. Numbers are kept as text and validated, as above.
  auto number = [](CLI::App* command, const std::string& name, std::string& text, const std::string& help,
                   uint32_t max = UINT32_MAX) {
    return command->add_option(name, text, help)->check(Number(max))->type_name("N")->capture_default_str();
  };
  std::string framesText = "16", sizeText = "0x100000", patternText = "2", startText, timeoutText = "5000";
  std::string fileText;
  auto* captureCommand = app.add_subcommand("capture", "Capture frames, verify every one, and write them to a file");
  number(captureCommand, "-n,--frames", framesText, "Frames to capture");
  number(captureCommand, "--size", sizeText, "Bytes per frame (a multiple of 4)");
  number(captureCommand, "--pattern", patternText, "Test pattern the capture source makes (simulated card: 0..255)", 255);
  number(captureCommand, "--start-register", startText,
         "Start register (default: the product's; with --sim 0x8004, the simulated card's capture source)");
  number(captureCommand, "--timeout", timeoutText, "Milliseconds to wait for each completion");
  captureCommand->add_option("-o,--output", fileText, "File to write the frames to (default: verify only)")->type_name("FILE");
  std::string pictureDir, pictureView, pictureWidthText = "1024", pixelFormatText = "gray8";
  captureCommand
      ->add_option("--png", pictureDir, "Also write every frame as a picture into this folder: frame-00000.png, ...")
      ->type_name("DIR");
  captureCommand
      ->add_option("--png-view", pictureView,
                   "pattern: the test pattern, wrong lines marked red (default with --sim); raw: the bytes as "
                   "pixels (default on a real card; play takes these pictures back)")
      ->check(CLI::IsMember({"pattern", "raw"}))
      ->type_name("VIEW");
  number(captureCommand, "--png-width", pictureWidthText, "Pixels a line (pattern view: bytes a line)", 65536);
  captureCommand
      ->add_option("--png-format", pixelFormatText, std::string("Pixel format of the raw view: ") + kPixelFormatNames)
      ->check(CLI::IsMember({"gray8", "gray16", "rgb24", "bgr24", "rgba32", "bgra32"}))
      ->capture_default_str()
      ->type_name("FORMAT");

  std::string playSizeText = "0";
  std::vector<std::string> playInputs;
  auto* play = app.add_subcommand("play", "Play files out in frame-sized blocks");
  play->add_option("input", playInputs,
                   "Files of frames (as capture -o writes them), raw-view pictures (capture --png --png-view raw), "
                   "or any data; played one after the other")
      ->required()
      ->check(CLI::ExistingFile)
      ->type_name("FILE");
  number(play, "--size", playSizeText, "Block size (default: the length in the first frame's header)");
  number(play, "--start-register", startText,
         "Start register (default: the product's; with --sim 0x8000, the simulated card's playout sink)");
  number(play, "--timeout", timeoutText, "Milliseconds to wait for each completion");

  std::string roundsText = "1", seedText = "1";
  auto* loopback = app.add_subcommand("loopback", "Send random bytes to the card, read them back and compare");
  number(loopback, "--size", sizeText, "Bytes per round (a multiple of 4)");
  number(loopback, "-n,--rounds", roundsText, "Rounds");
  number(loopback, "--seed", seedText, "Seed of the random bytes");
  number(loopback, "--timeout", timeoutText, "Milliseconds to wait for each completion");
  // The playout and loopback start registers, for loopback, events --traffic and bench.
  std::string playoutText, loopbackText;
  auto startPair = [&](CLI::App* command) {
    number(command, "--playout-register", playoutText,
           "Playout start register (default: the product's; with --sim 0x8000, the simulated card's)");
    number(command, "--loopback-register", loopbackText,
           "Loopback start register (default: the product's; with --sim 0x8008, the simulated card's)");
  };
  startPair(loopback);

  auto* pool = app.add_subcommand("pool", "The driver's buffer pool (family A products)");
  pool->require_subcommand(1);
  std::string entryText, poolOffsetText = "0", lengthText = "256";
  auto* poolList = pool->add_subcommand("list", "List the pool's buffers");
  auto* poolRead = pool->add_subcommand("read", "Read bytes of a pool buffer (hex dump, or to a file)");
  poolRead->add_option("entry", entryText, "Pool entry, 0..7")->required()->check(Number(7))->type_name("N");
  number(poolRead, "--offset", poolOffsetText, "Byte offset in the buffer");
  number(poolRead, "--length", lengthText, "Bytes to read");
  poolRead->add_option("-o,--output", fileText, "File to write the bytes to")->type_name("FILE");
  auto* poolWrite = pool->add_subcommand("write", "Write a file's bytes into a pool buffer");
  poolWrite->add_option("entry", entryText, "Pool entry, 0..7")->required()->check(Number(7))->type_name("N");
  poolWrite->add_option("input", fileText, "File")->required()->check(CLI::ExistingFile)->type_name("FILE");
  number(poolWrite, "--offset", poolOffsetText, "Byte offset in the buffer");
  bool verifyPool = false;
  poolWrite->add_flag("--verify", verifyPool, "Read the bytes back and compare");

  std::string countText = "0";
  capture_tool::EventsOptions eventsOptions;
  auto* events = app.add_subcommand(
      "events", "Register completion and message events and show them as they arrive (replaces the registrations "
                "another program made)");
  number(events, "-n,--count", countText, "Stop after this many events (0: no limit)");
  events->add_option("--seconds", eventsOptions.seconds, "Stop after this many seconds")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  events->add_flag("--traffic", eventsOptions.traffic, "Run loopback transfers meanwhile");
  events->add_flag("--connect", eventsOptions.connect, "Connect message interrupts first");
  startPair(events);

  std::vector<std::string> sizeTexts;
  std::string benchCountText = "32", svgText;
  auto* bench = app.add_subcommand("bench", "Throughput and completion latency by transfer size");
  bench->add_option("--sizes", sizeTexts, "Transfer sizes, comma-separated (default 4 KiB, 64 KiB, 1 MiB, maximum)")
      ->delimiter(',')
      ->check(Number())
      ->type_name("N,...");
  number(bench, "-n,--count", benchCountText, "Transfers per size and direction");
  number(bench, "--timeout", timeoutText, "Milliseconds to wait for each completion");
  bench->add_option("--svg", svgText, "Also draw the results into this SVG file")->type_name("FILE");
  startPair(bench);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitSuccess : kExitUsage;
  }

  Context context;
  context.target = {device, "", std::nullopt};
  if (!product.empty()) context.target.product = std::string(capture::FindProduct(product)->name);
  if (!instanceText.empty()) context.target.instance = ToNumber(instanceText);

  auto registers = [&] {
    LoopbackRegisters r;
    if (!playoutText.empty()) r.playout = ToNumber(playoutText);
    if (!loopbackText.empty()) r.loopback = ToNumber(loopbackText);
    return r;
  };
  auto run = [&]() {
    if (list->parsed()) return List(context);
    if (version->parsed()) return Version(context);
    if (dump->parsed()) return Dump(context);
    if (regRead->parsed()) return ReadRegister(context, ToNumber(offsetText));
    if (regWrite->parsed()) return WriteRegister(context, ToNumber(offsetText), ToNumber(valueText), readBack);
    if (captureCommand->parsed()) {
      CaptureOptions o;
      o.frames = ToNumber(framesText);
      o.size = ToNumber(sizeText);
      o.pattern = ToNumber(patternText);
      if (!startText.empty()) o.startRegister = ToNumber(startText);
      o.output = fileText;
      o.timeoutMs = ToNumber(timeoutText);
      o.pictureDir = pictureDir;
      o.view = pictureView == "pattern" ? CaptureOptions::View::kPattern
               : pictureView == "raw"   ? CaptureOptions::View::kRaw
                                        : CaptureOptions::View::kAuto;
      o.pictureWidth = ToNumber(pictureWidthText);
      o.pixelFormat = *ParsePixelFormat(pixelFormatText);
      return Capture(context, o);
    }
    if (play->parsed()) {
      PlayOptions o;
      o.inputs = playInputs;
      o.size = ToNumber(playSizeText);
      if (!startText.empty()) o.startRegister = ToNumber(startText);
      o.timeoutMs = ToNumber(timeoutText);
      return Play(context, o);
    }
    if (loopback->parsed()) {
      LoopbackOptions o;
      o.registers = registers();
      o.size = ToNumber(sizeText);
      o.rounds = ToNumber(roundsText);
      o.seed = ToNumber(seedText);
      o.timeoutMs = ToNumber(timeoutText);
      return Loopback(context, o);
    }
    if (poolList->parsed()) return PoolList(context);
    if (poolRead->parsed()) {
      return PoolRead(context, ToNumber(entryText), ToNumber(poolOffsetText), ToNumber(lengthText), fileText);
    }
    if (poolWrite->parsed()) return PoolWrite(context, ToNumber(entryText), ToNumber(poolOffsetText), fileText, verifyPool);
    if (events->parsed()) {
      eventsOptions.count = ToNumber(countText);
      eventsOptions.registers = registers();
      return Events(context, eventsOptions);
    }
    BenchOptions o;
    o.registers = registers();
    for (const auto& text : sizeTexts) o.sizes.push_back(ToNumber(text));
    o.count = ToNumber(benchCountText);
    o.svg = svgText;
    o.timeoutMs = ToNumber(timeoutText);
    return Bench(context, o);
  };

#ifdef CAPTURE_TOOL_SIM
  const uint32_t simCards = ToNumber(simText);
  if (simCards == 0) {
    fmt::print(stderr, "capture-tool: on this system cards exist only in simulation: add --sim N\n");
    return kExitUsage;
  }
  SimSettings settings;
  settings.cards = simCards;
  settings.imageDir = imageDir;
  settings.speedup = speedup;
  settings.account = account == "system" ? wdmsim::Token::System
                     : account == "user" ? wdmsim::Token::StandardUser
                                         : wdmsim::Token::Administrator;
  settings.card.directRead = directRead;
  settings.card.msiMessages = static_cast<uint8_t>(ToNumber(msiText));
  settings.product = "Talvrex";
  if (!context.target.product.empty()) {
    settings.product = context.target.product;
  } else if (!device.empty()) {
    auto name = capture::ParseDeviceName(device);
    if (!name) return Fail(name.error());
    settings.product = std::string(name->product->name);
  }

  int code = kExitSuccess;
  try {
    // bench measures the driver's processor time: the simulation maps a
    // locked buffer's system view once instead of at every transfer.
    Simulation simulation(speedup, realtime, bench->parsed());
    auto echo = [&](const std::vector<std::string>& lines) {
      if (verbose) PrintDriverLines(settings.product, lines);
      return lines;
    };
    std::string started = simulation.Start(settings);
    echo(simulation.TakeDriverOutput());
    if (!started.empty()) {
      fmt::print(stderr, "capture-tool: {}\n", started);
      code = kExitFailed;
    } else {
      context.backend = simulation.backend();
      context.simulated = true;
      context.simulatedStarts = SimulatedStartRegisters();
      context.pattern = SimulatedTestPattern();
      context.driverOutput = [&] { return echo(simulation.TakeDriverOutput()); };
      code = run();
      echo(simulation.TakeDriverOutput());
      context = {};
    }
    auto findings = simulation.Shutdown();
    echo(simulation.TakeDriverOutput());
    for (const auto& finding : findings) fmt::print(stderr, "capture-tool: wdmsim verifier: {}\n", finding);
    if (!findings.empty() && code == kExitSuccess) code = kExitFailed;
  } catch (const wdmsim::BugCheck& e) {
    std::fflush(stdout);
    fmt::print(stderr, "capture-tool: the simulated kernel stopped with bug check 0x{:X}:\n{}\n", e.code(), e.what());
    std::fflush(stderr);
    std::_Exit(kExitFailed);  // the kernel is dead: do not tear it down
  } catch (const std::exception& e) {
    std::fflush(stdout);
    fmt::print(stderr, "capture-tool: {}\n", e.what());
    return kExitFailed;
  }
  return code;
#else
  if (verbose) fmt::print(stderr, "capture-tool: the driver prints to the kernel debugger; --verbose shows nothing more\n");
  context.backend = std::make_shared<capture::Win32Backend>();
  return run();
#endif
}
