// CommandLineScanner: the parts of running an external scanner -- its argument vector, the private
// directory its files live in, and the names those files get.
#pragma once

#include "antivirus/VirusScan.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::antivirus {

// The template split at blanks, double quotes grouping (the quotes themselves dropped), with
// "%TEMPFILE%" and "%REPORTFILE%" replaced inside whatever argument holds them. No shell ever sees it.
std::vector<std::string> ScannerArguments(std::string_view commandLine, std::string_view tempFile, std::string_view reportFile);

// "part-<n>" plus the extension of the sender's name when it is 1 to 8 ASCII letters or digits; what
// the sender wrote never becomes more of a path than that.
std::string AttachmentFileName(std::size_t n, std::string_view senderName);

// A directory of its own (mkdtemp, mode 0700) under `base` (else $TMPDIR, else /tmp), removed with
// all it holds when the object goes.
class ScratchDirectory {
public:
    // nullopt when the directory can not be made; `problem` says why.
    static std::optional<ScratchDirectory> Make(const std::string& base, std::string& problem);
    ScratchDirectory(ScratchDirectory&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    ScratchDirectory& operator=(ScratchDirectory&&) = delete;
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();
    const std::string& Path() const { return path_; }

private:
    explicit ScratchDirectory(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

// Runs the scanner on one file, with the report file beside it: Clean, Infected (with the table's
// description) or Failed.
ScanResult RunScanner(const ScanSettings& settings, const std::string& file, const std::string& reportFile);

}  // namespace pw::antivirus
