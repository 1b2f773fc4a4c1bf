// pecheck: verifies a Windows x64 kernel driver image before it is packaged.
//
//   pecheck [--product NAME] [--banner TEXT | --no-banner] [--json] [--json-out FILE] [--quiet] IMAGE.sys
//
// Checks: AMD64, native subsystem, an entry point, DYNAMIC_BASE, base
// relocations, imports from ntoskrnl.exe and HAL.dll only, a valid PE
// checksum, the product's device and link name formats (UTF-16LE) and the
// version banner. The product defaults to the file name without ".sys".
// Prints a report (or, with --json, the report as JSON; --json-out writes
// the JSON to a file as well; --quiet prints the report only when a check
// fails). Exit status: 0 all checks passed, 1 a check
// failed, 2 bad arguments or an unreadable file.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

int Usage() {
  std::cerr << "usage: pecheck [--product NAME] [--banner TEXT | --no-banner] [--json] [--json-out FILE] [--quiet] IMAGE\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  pecheck::Options options;
  options.banner = pecheck::kDefaultBanner;
  bool json = false, quiet = false, productGiven = false;
  std::string jsonOut, path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--json") {
      json = true;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--no-banner") {
      options.banner.clear();
    } else if (arg == "--product" || arg == "--banner" || arg == "--json-out") {
      const char* v = value();
      if (v == nullptr) return Usage();
      if (arg == "--product") {
        options.product = v;
        productGiven = true;
      } else if (arg == "--banner") {
        options.banner = std::string(v) + "\n";  // DriverEntry prints the banner as one line
      } else {
        jsonOut = v;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage();
    } else if (path.empty()) {
      path = arg;
    } else {
      return Usage();
    }
  }
  if (path.empty()) return Usage();
  if (!productGiven) {
    std::filesystem::path p(path);
    options.product = p.extension() == ".sys" ? p.stem().string() : std::string();
  }

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "pecheck: cannot read " << path << "\n";
    return 2;
  }
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  const pecheck::Report report = pecheck::CheckImage(image, options);
  const std::string asJson = pecheck::ToJson(report, path, options);
  if (!quiet || !report.ok()) std::cout << (json ? asJson : pecheck::ToText(report, path));
  if (!jsonOut.empty()) {
    std::ofstream out(jsonOut, std::ios::binary | std::ios::trunc);
    out << asJson;
    if (!out) {
      std::cerr << "pecheck: cannot write " << jsonOut << "\n";
      return 2;
    }
  }
  return report.ok() ? 0 : 1;
}
