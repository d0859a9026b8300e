// The layout in CONTRIBUTING.md is the map a newcomer reads first: every path it names exists,
// every folder of src/ is on it, and every unit of a src/ folder is named in its entry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path ROOT = fs::path(BENCHD_SOURCE_DIR).parent_path();

// The lines of the code block under "## Layout".
std::vector<std::string> layoutLines() {
    std::ifstream in(ROOT / "CONTRIBUTING.md");
    std::vector<std::string> lines;
    std::string line;
    bool inSection = false;
    bool inBlock = false;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            inSection = line == "## Layout";
        } else if (inSection && line.rfind("```", 0) == 0) {
            if (inBlock) {
                break;
            }
            inBlock = true;
        } else if (inBlock) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::size_t indentOf(const std::string& line) {
    return line.find_first_not_of(' ');
}

}  // namespace

TEST(Maps, ContributingLayoutNamesWhatIsThereAndAllOfIt) {
    const std::vector<std::string> lines = layoutLines();
    ASSERT_GT(lines.size(), 10u) << "no layout block in CONTRIBUTING.md";
    std::map<std::string, std::string> srcEntries;  // src/ folder -> its description
    std::string top;                                // the top-level path being described
    std::string folder;                             // the src/ folder being described
    for (const std::string& line : lines) {
        const std::size_t indent = indentOf(line);
        if (indent == std::string::npos) {
            continue;
        }
        std::istringstream words(line.substr(indent));
        std::string first;
        words >> first;
        std::string rest;
        std::getline(words, rest);
        if (indent == 0) {
            top = first;
            folder.clear();
            EXPECT_TRUE(fs::exists(ROOT / first)) << "CONTRIBUTING.md names " << first;
        } else if (indent == 2 && top == "src/") {
            EXPECT_TRUE(fs::exists(ROOT / "src" / first)) << "CONTRIBUTING.md names src/" << first;
            folder = first.back() == '/' ? first.substr(0, first.size() - 1) : "";
            if (!folder.empty()) {
                srcEntries[folder] = rest;
            }
        } else if (!folder.empty()) {
            srcEntries[folder] += " " + line;
        }
    }

    const std::regex word("[a-z0-9_*]+");
    for (const auto& entry : fs::directory_iterator(ROOT / "src")) {
        if (!entry.is_directory()) {
            continue;
        }
        const std::string name = entry.path().filename().string();
        auto described = srcEntries.find(name);
        ASSERT_NE(described, srcEntries.end()) << "src/" << name << "/ is not in CONTRIBUTING.md";
        std::set<std::string> named;
        const std::string& text = described->second;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), word);
             it != std::sregex_iterator(); ++it) {
            named.insert(it->str());
        }
        std::set<std::string> units;
        for (const auto& file : fs::directory_iterator(entry.path())) {
            units.insert(file.path().stem().string());
        }
        for (const std::string& unit : units) {
            bool found = named.count(unit) != 0;
            for (const std::string& n : named) {
                // "telemetry_*" names every telemetry_ unit.
                found = found || (n.back() == '*' && unit.rfind(n.substr(0, n.size() - 1), 0) == 0);
            }
            EXPECT_TRUE(found) << "src/" << name << "/" << unit
                               << " is not named in CONTRIBUTING.md's layout";
        }
    }
}
