#include "DeviceNames.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A name is kept on one line: a backslash, a tab or a line break in it is escaped.
std::string escaped(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

std::string unescaped(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
    }
    return out;
}

bool sameName(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
    return std::ranges::equal(a, b, {}, lower, lower);
}

} // namespace

fs::path lastScanFile()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache == '/')
        return fs::path(cache) / "serialpads" / "last-scan";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return fs::path(home) / ".cache" / "serialpads" / "last-scan";
    return {};
}

bool saveLastScan(const fs::path& file, const std::vector<CBluezDevice>& devices)
{
    if (file.empty())
        return false;
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    // Written aside and renamed over, so a reader never sees half a list.
    fs::path written = file;
    written += ".new-" + std::to_string(::getpid());
    {
        std::ofstream out(written, std::ios::trunc);
        for (const CBluezDevice& device : devices)
            out << device.address << '\t' << escaped(device.name) << '\n';
        if (!out.flush())
            return fs::remove(written, error), false;
    }
    fs::rename(written, file, error);
    if (error)
        fs::remove(written, error);
    return !error;
}

std::vector<CBluezDevice> loadLastScan(const fs::path& file)
{
    std::vector<CBluezDevice> devices;
    if (file.empty())
        return devices;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        auto address = parseBluetoothAddress(std::string_view(line).substr(0, tab));
        if (!address)
            continue;
        CBluezDevice device;
        device.address = formatBluetoothAddress(*address);
        device.name = unescaped(std::string_view(line).substr(tab + 1));
        devices.push_back(std::move(device));
    }
    return devices;
}

CNameMatch matchDeviceName(std::string_view name, const std::vector<CBluezDevice>& paired,
    const std::vector<CBluezDevice>& scanned)
{
    CNameMatch match;
    auto consider = [&](const CBluezDevice& device) {
        auto address = parseBluetoothAddress(device.address);
        if (!address || name.empty() || !sameName(device.name, name))
            return;
        for (const CBluezDevice& candidate : match.candidates)
            if (parseBluetoothAddress(candidate.address) == address)
                return;
        match.candidates.push_back(device);
    };
    for (const CBluezDevice& device : paired)
        if (device.paired)
            consider(device);
    for (const CBluezDevice& device : scanned)
        consider(device);
    if (match.candidates.size() == 1)
        match.address = parseBluetoothAddress(match.candidates.front().address);
    return match;
}
