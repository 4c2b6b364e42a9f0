// CommandLineScanner: argument template, scratch directory, file names and one run of the scanner.
#include "antivirus/CommandLineScanner.h"

#include "platform/Process.h"
#include "platform/Text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace pw::antivirus {

namespace {

constexpr std::string_view kTempFile = "%TEMPFILE%";
constexpr std::string_view kReportFile = "%REPORTFILE%";
constexpr std::size_t kMaxExtension = 8;

}  // namespace

std::vector<std::string> ScannerArguments(std::string_view commandLine, std::string_view tempFile, std::string_view reportFile) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (const char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;  // "" is an empty argument
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) arguments.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) arguments.push_back(std::move(current));
    for (std::string& argument : arguments) {
        // Both at once, so neither path is searched for the other's placeholder.
        std::string result;
        std::size_t from = 0;
        for (;;) {
            const std::size_t temp = argument.find(kTempFile, from);
            const std::size_t report = argument.find(kReportFile, from);
            const std::size_t at = std::min(temp, report);
            if (at == std::string::npos) break;
            result.append(argument, from, at - from);
            result.append(at == temp ? tempFile : reportFile);
            from = at + (at == temp ? kTempFile.size() : kReportFile.size());
        }
        result.append(argument, from);
        argument = std::move(result);
    }
    return arguments;
}

std::string AttachmentFileName(std::size_t n, std::string_view senderName) {
    std::string name = "part-" + std::to_string(n);
    const std::size_t dot = senderName.rfind('.');
    if (dot == std::string_view::npos) return name;
    const std::string_view extension = senderName.substr(dot + 1);
    if (extension.empty() || extension.size() > kMaxExtension) return name;
    for (const char c : extension) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return name;
    }
    return name + "." + std::string(extension);
}

std::optional<ScratchDirectory> ScratchDirectory::Make(const std::string& base, std::string& problem) {
    std::string parent = base;
    if (parent.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        parent = tmp && *tmp ? tmp : "/tmp";
    }
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    std::string pattern = parent + "/pw-av-XXXXXX";
    // mkdtemp makes it 0700: the scanned content is nobody else's to read.
    if (::mkdtemp(pattern.data()) == nullptr) {
        problem = "can not make a scratch directory in " + parent + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return ScratchDirectory(pattern);
}

ScratchDirectory::~ScratchDirectory() {
    if (path_.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

ScanResult RunScanner(const ScanSettings& settings, const std::string& file, const std::string& reportFile) {
    std::vector<std::string> argv{settings.commandPath};
    for (std::string& argument : ScannerArguments(settings.commandLine, file, reportFile)) argv.push_back(std::move(argument));
    ProgramOptions options;
    options.timeout = settings.timeout;
    options.stdinFromNull = true;
    options.closeInherited = true;
    const ProgramResult result = RunProgram(argv, options);
    if (result.timedOut) {
        return {Verdict::Failed, Format("the scanner %s was stopped after %d seconds",
                                        {std::string_view(settings.commandPath), std::int64_t{settings.timeout.count()}})};
    }
    if (result.status < 0) return {Verdict::Failed, "the scanner " + settings.commandPath + " could not be started or was ended by a signal"};
    if (result.status == 0) return {Verdict::Clean, {}};
    for (const auto& [code, description] : settings.retcodes) {
        if (code == result.status) {
            return {Verdict::Infected, description.empty() ? Format("The virus scanner ended with code %d", {std::int64_t{code}}) : description};
        }
    }
    // A table that lists the codes meaning a virus makes any other code a failure of the scanner
    // (a missing file, a broken database), not a verdict.
    if (!settings.retcodes.empty()) {
        return {Verdict::Failed, Format("the scanner %s ended with code %d, which the retcode table does not list",
                                        {std::string_view(settings.commandPath), std::int64_t{result.status}})};
    }
    return {Verdict::Infected, Format("The virus scanner ended with code %d", {std::int64_t{result.status}})};
}

}  // namespace pw::antivirus
