// The package folder: every product's INF is a well-formed x64 function
// driver INF for its row of the build matrix, and the manifest lists the
// files as they are.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Row {
  std::string name, family, maxTransfer, commonBuffer, hardwareId, service;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

std::vector<Row> Matrix() {
  std::vector<Row> rows;
  std::ifstream in(PRODUCT_MATRIX_PATH);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream f(line);
    Row r;
    std::getline(f, r.name, '\t');
    std::getline(f, r.family, '\t');
    std::getline(f, r.maxTransfer, '\t');
    std::getline(f, r.commonBuffer, '\t');
    std::getline(f, r.hardwareId, '\t');
    std::getline(f, r.service, '\t');
    rows.push_back(r);
  }
  return rows;
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> SplitCommas(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string part; std::getline(in, part, ',');) out.push_back(Trim(part));
  if (!s.empty() && s.back() == ',') out.push_back("");
  return out;
}

// An INF as sections of lines; a line is "key = value" or a bare value.
// Section names are compared case-insensitively, as SetupAPI does.
struct Inf {
  struct Line {
    std::string key, value;
  };
  std::map<std::string, std::vector<Line>> sections;  // lower-case names
  std::vector<std::string> errors;
  std::string comments;

  explicit Inf(const std::string& text) {
    std::vector<Line>* current = nullptr;
    std::istringstream in(text);
    int number = 0;
    for (std::string raw; std::getline(in, raw);) {
      ++number;
      if (raw.empty() || raw.back() != '\r') errors.push_back("line " + std::to_string(number) + " does not end in CRLF");
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();
      // A ';' outside quotes starts a comment.
      std::string line;
      bool quoted = false;
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '"') quoted = !quoted;
        if (raw[i] == ';' && !quoted) {
          comments += raw.substr(i) + "\n";
          break;
        }
        line += raw[i];
      }
      line = Trim(line);
      if (line.empty()) continue;
      if (line.front() == '[') {
        if (line.back() != ']') errors.push_back("line " + std::to_string(number) + ": unterminated section name");
        const std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
        if (sections.count(name)) errors.push_back("section [" + name + "] defined twice");
        current = &sections[name];
        continue;
      }
      if (current == nullptr) {
        errors.push_back("line " + std::to_string(number) + " is outside every section");
        continue;
      }
      const auto eq = line.find('=');
      if (eq == std::string::npos) {
        current->push_back({"", line});
      } else {
        current->push_back({Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))});
      }
    }
  }
  bool has(const std::string& section) const { return sections.count(Lower(section)) != 0; }
  const std::vector<Line>& section(const std::string& name) const {
    static const std::vector<Line> none;
    auto it = sections.find(Lower(name));
    return it == sections.end() ? none : it->second;
  }
  // The value of the one line with this key in a section ("" if none).
  std::string value(const std::string& sectionName, const std::string& key) const {
    for (const Line& l : section(sectionName)) {
      if (Lower(l.key) == Lower(key)) return l.value;
    }
    return "";
  }
};

class PackageInf : public ::testing::TestWithParam<Row> {};

TEST_P(PackageInf, IsAFunctionDriverInfForItsRow) {
  const Row& p = GetParam();
  const std::filesystem::path path = std::filesystem::path(PACKAGE_DIR) / p.name / (p.name + ".inf");
  ASSERT_TRUE(std::filesystem::exists(path)) << path;
  const std::string text = ReadText(path);
  ASSERT_TRUE(std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; })) << "INF must be ASCII";
  const Inf inf(text);
  EXPECT_EQ(inf.errors, std::vector<std::string>{});

  for (const char* s : {"Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings"}) {
    EXPECT_TRUE(inf.has(s)) << s;
  }
  EXPECT_FALSE(inf.has("DefaultInstall"));

  // [Version]
  EXPECT_EQ(inf.value("Version", "Signature"), "\"$WINDOWS NT$\"");
  EXPECT_EQ(Lower(inf.value("Version", "ClassGuid")), "{4d36e96c-e325-11ce-bfc1-08002be10318}");
  EXPECT_EQ(Lower(inf.value("Version", "Class")), "media");
  EXPECT_FALSE(inf.value("Version", "Provider").empty());
  EXPECT_TRUE(std::regex_match(inf.value("Version", "DriverVer"),
                               std::regex(R"((0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/(19|20)[0-9]{2},\d+\.\d+\.\d+\.\d+)")))
      << inf.value("Version", "DriverVer");
  EXPECT_EQ(inf.value("Version", "CatalogFile"), p.name + ".cat");

  // [Manufacturer] -> models section for x64 -> install sections.
  const auto manufacturer = inf.section("Manufacturer");
  ASSERT_EQ(manufacturer.size(), 1u);
  const auto models = SplitCommas(manufacturer[0].value);
  ASSERT_GE(models.size(), 2u) << manufacturer[0].value;
  EXPECT_EQ(Lower(models[1]), "ntamd64");
  const std::string modelsSection = models[0] + "." + models[1];
  ASSERT_TRUE(inf.has(modelsSection)) << modelsSection;
  const auto devices = inf.section(modelsSection);
  ASSERT_EQ(devices.size(), 1u);
  const auto device = SplitCommas(devices[0].value);
  ASSERT_EQ(device.size(), 2u);
  EXPECT_EQ(device[1], p.hardwareId);
  // The most decorated install section SetupAPI would pick for x64.
  std::string install;
  for (const std::string& d : {device[0] + ".NTamd64", device[0] + ".NT", device[0]}) {
    if (inf.has(d)) {
      install = d;
      break;
    }
  }
  ASSERT_FALSE(install.empty()) << "no install section for " << device[0];
  ASSERT_TRUE(inf.has(install + ".Services")) << install;

  // Files: CopyFiles -> its section -> into the drivers folder (12), from a disk.
  const std::string copyFiles = inf.value(install, "CopyFiles");
  ASSERT_TRUE(inf.has(copyFiles)) << copyFiles;
  ASSERT_EQ(inf.section(copyFiles).size(), 1u);
  EXPECT_EQ(inf.section(copyFiles)[0].value, p.name + ".sys");
  const std::string destination = inf.value("DestinationDirs", copyFiles);
  EXPECT_EQ(destination.empty() ? inf.value("DestinationDirs", "DefaultDestDir") : destination, "12");
  const auto source = SplitCommas(inf.value("SourceDisksFiles", p.name + ".sys"));
  ASSERT_FALSE(source.empty());
  EXPECT_FALSE(inf.value("SourceDisksNames", source[0]).empty()) << "disk " << source[0];

  // The service: a demand-start kernel driver, the function driver of the device.
  const auto addService = SplitCommas(inf.value(install + ".Services", "AddService"));
  ASSERT_EQ(addService.size(), 3u);
  EXPECT_EQ(addService[0], p.service);
  EXPECT_TRUE(std::stoul(addService[1], nullptr, 0) & 0x2) << "SPSVCINST_ASSOCSERVICE";
  const std::string service = addService[2];
  ASSERT_TRUE(inf.has(service)) << service;
  EXPECT_EQ(inf.value(service, "ServiceType"), "1");
  EXPECT_EQ(inf.value(service, "StartType"), "3");
  EXPECT_EQ(inf.value(service, "ErrorControl"), "1");
  EXPECT_EQ(inf.value(service, "ServiceBinary"), "%12%\\" + p.name + ".sys");

  // Every %token% is a string of [Strings] or a numeric directory id.
  std::smatch m;
  const std::regex token("%([^%\\s]+)%");
  for (auto it = text.cbegin(); std::regex_search(it, text.cend(), m, token); it = m.suffix().first) {
    const std::string name = m[1];
    if (std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    EXPECT_FALSE(inf.value("Strings", name).empty()) << "%" << name << "% is not in [Strings]";
  }
  // A placeholder hardware id says so where it is written.
  if (p.hardwareId.find("VEN_FEED") != std::string::npos) {
    EXPECT_NE(inf.comments.find("PLACEHOLDER"), std::string::npos);
    EXPECT_NE(inf.comments.find(p.hardwareId), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Products, PackageInf, ::testing::ValuesIn(Matrix()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

std::string Sha256(const std::filesystem::path& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("sha256sum '" + path.string() + "'").c_str(), "r"), pclose);
  char hex[65] = {};
  if (pipe == nullptr || std::fread(hex, 1, 64, pipe.get()) != 64) return "";
  return hex;
}

// manifest.tsv: four files per product (image, INF, catalog, wdmsim image),
// with the sizes and digests they have; manifest.json names every product
// with its placeholder flag.
TEST(PackageManifest, ListsEveryFileAsItIs) {
  const std::filesystem::path dir(PACKAGE_DIR);
  std::ifstream tsv(dir / "manifest.tsv");
  ASSERT_TRUE(tsv) << "no manifest.tsv";
  std::map<std::string, int> filesPerProduct;
  for (std::string line; std::getline(tsv, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    ASSERT_EQ(f.size(), 10u) << line;
    const auto file = dir / f[0] / f[7];
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(f[8], std::to_string(std::filesystem::file_size(file))) << file;
    EXPECT_EQ(f[9], Sha256(file)) << file;
    EXPECT_EQ(f[5], f[4].find("VEN_FEED") != std::string::npos ? "true" : "false") << line;
    ++filesPerProduct[f[0]];
  }
  const std::string json = ReadText(dir / "manifest.json");
  for (const Row& p : Matrix()) {
    EXPECT_EQ(filesPerProduct[p.name], 4) << p.name;
    EXPECT_NE(json.find("{\"name\": \"" + p.name + "\", \"family\": \"" + p.family + "\""), std::string::npos) << p.name;
  }
  EXPECT_EQ(filesPerProduct.size(), Matrix().size());
  EXPECT_NE(json.find("\"hardware_id_placeholder\": true"), std::string::npos);
  EXPECT_NE(json.find("\"imports\": {"), std::string::npos);
}

}  // namespace
