// Dialer: running the administrator's dial and hang-up commands.
#include "smtp/Dialer.h"

#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace pw::smtp {

namespace {

constexpr int kTextDialFailed = 102;
constexpr int kTextNoConnection = 103;

std::string DialerKey() { return core::ProductKey(core::kServerProduct, "Dialer"); }

}  // namespace

ConnectionTypeEnum ReadConnectionType(const core::ConfigTree& config) {
    const std::int32_t type = config.GetCopy("sys:connection:type").AsI4();
    return type >= ConnectionTypeNone && type <= ConnectionTypeProxy ? static_cast<ConnectionTypeEnum>(type) : ConnectionTypeNone;
}

Dialer::Dialer(const core::ConfigTree& config, const Registry& registry) : type_(ReadConnectionType(config)) {
    entry_ = config.GetCopy("sys:connection:rasentry").AsText();
    retries_ = std::max(0, config.GetCopy("sys:connection:retries").AsI4());
    account_ = config.GetCopy("sys:connection:account").AsText();
    password_ = config.GetCopy("sys:connection:password").AsText();
    dialCommand_ = registry.GetString(DialerKey(), "DialCommand").value_or("");
    hangUpCommand_ = registry.GetString(DialerKey(), "HangUpCommand").value_or("");
    if (const auto seconds = registry.GetDword(DialerKey(), "Timeout"); seconds && *seconds > 0) timeout_ = std::chrono::seconds(*seconds);
}

std::vector<std::string> Dialer::Command(const std::string& text) const {
    std::vector<std::string> argv;
    for (std::string& word : SplitAtAny(text, " \t")) {
        if (word.empty()) continue;
        argv.push_back(word == "%ENTRY%" ? entry_ : std::move(word));
    }
    return argv;
}

bool Dialer::Dial() {
    ProgramOptions options;
    options.timeout = timeout_;
    if (!account_.empty() && !password_.empty()) {
        options.environment = {"PELLWORTH_DIAL_ACCOUNT=" + account_, "PELLWORTH_DIAL_PASSWORD=" + password_};
    }
    const std::vector<std::string> argv = Command(dialCommand_);
    if (argv.empty()) core::Log(core::LogLevelWarning, "Dial-up: no dial command is configured (" + DialerKey() + ", DialCommand)");
    for (int attempt = 1; attempt <= retries_ + 1; ++attempt) {
        if (!argv.empty()) {
            const ProgramResult result = RunProgram(argv, options);
            if (result.status == 0 && !result.timedOut) {
                core::Log(core::LogLevelNormal, "Dial-up: connected through " + entry_);
                return true;
            }
            if (result.timedOut) core::Log(core::LogLevelWarning, Format("Dial-up: the dial command ran over %d seconds and was ended",
                                                                        {std::int64_t{timeout_.count()}}));
        }
        core::Log(core::LogLevelWarning, core::FormatText(kTextDialFailed, {std::string_view(entry_), std::int64_t{attempt}},
                                                          "Dialling %s: attempt %d failed"));
    }
    core::Log(core::LogLevelWarning, core::FormatText(kTextNoConnection, {std::string_view(entry_)},
                                                      "Could not dial %s; the send and receive cycle ends"));
    return false;
}

void Dialer::HangUp() {
    const std::vector<std::string> argv = Command(hangUpCommand_);
    if (argv.empty()) return;
    ProgramOptions options;
    options.timeout = timeout_;
    const ProgramResult result = RunProgram(argv, options);
    if (result.status != 0 || result.timedOut) {
        core::Log(core::LogLevelWarning, Format("Dial-up: the hang-up command failed (exit %d%s)",
                                                {std::int64_t{result.status}, std::string_view(result.timedOut ? ", timed out" : "")}));
    } else {
        core::Log(core::LogLevelNormal, "Dial-up: hung up " + entry_);
    }
}

}  // namespace pw::smtp
