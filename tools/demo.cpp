// The demo: boots wdmsim, loads the Talvrex build of the driver, plugs in two
// simulated cards and shows what the driver did.
#include <cstdio>
#include <string>

#include "wdmsim/kernel.h"

namespace {

void Section(const char* title) { std::printf("\n== %s\n", title); }

// Prints what the image printed since the last call.
void ShowDriverOutput(wdmsim::DriverImage& image) {
  for (const auto& line : image.DbgLines()) std::printf("   [%s] %s\n", image.name().c_str(), line.c_str());
  image.ClearDbgOutput();
}

}  // namespace

int main(int argc, char** argv) {
  std::string imageDir = argc > 1 ? argv[1] : WDMSIM_IMAGE_DIR;
  std::string path = imageDir + "/Talvrex.sys.so";

  Section("Booting wdmsim");
  wdmsim::Kernel kernel;
  std::printf("   2 simulated processors, clock at real speed\n");

  Section("Loading the Talvrex driver image");
  std::printf("   %s\n", path.c_str());
  wdmsim::DriverImage& image = kernel.LoadDriver(path);
  ShowDriverOutput(image);

  Section("Plugging in two simulated cards (the PnP manager calls AddDevice)");
  kernel.PlugCard(image);
  kernel.PlugCard(image);
  ShowDriverOutput(image);

  Section("Device objects and their Win32 links");
  for (const auto& name : kernel.NamesIn(u"\\Device")) {
    std::u16string device = u"\\Device\\" + name;
    std::printf("   %s\n", wdmsim::Narrow(device).c_str());
  }
  for (const auto& name : kernel.NamesIn(u"\\DosDevices")) {
    std::u16string link = u"\\DosDevices\\" + name;
    std::printf("   %s -> %s\n", wdmsim::Narrow(link).c_str(),
                wdmsim::Narrow(kernel.SymbolicLinkTarget(link)).c_str());
  }

  Section("Opening \\\\.\\Talvrex_v100-0 before the card is started");
  auto& process = kernel.DefaultProcess();
  HANDLE handle = process.CreateFileW(u"\\\\.\\Talvrex_v100-0");
  if (handle == wdmsim::INVALID_HANDLE_VALUE) {
    std::printf("   refused, Win32 error %u (the driver completed the open with STATUS_INSUFFICIENT_RESOURCES)\n",
                process.GetLastError());
  } else {
    std::printf("   unexpectedly opened\n");
    process.CloseHandle(handle);
  }
  ShowDriverOutput(image);

  Section("Removing the cards and unloading the driver");
  for (auto* slot : kernel.Slots()) kernel.RemoveCard(*slot);
  ShowDriverOutput(image);
  std::string rest = kernel.UnloadDriver(image);
  std::printf("   [Talvrex] %s", rest.c_str());

  Section("Verifier");
  auto findings = kernel.Findings();
  if (findings.empty()) std::printf("   nothing held, nothing leaked\n");
  for (const auto& f : findings) std::printf("   %s\n", f.c_str());
  return findings.empty() && kernel.BugCheckReport().empty() ? 0 : 1;
}
