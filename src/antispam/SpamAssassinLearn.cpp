// SpamAssassinLearn: sa-learn on the store's learning folders (see the header).
#include "antispam/SpamAssassinLearn.h"

#include "core/Logging.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "store/Envelopes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace pw::antispam {

namespace {

// The private directory of one learning run, removed with what is in it.
class PrivateDirectory {
public:
    PrivateDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/pellworth-learn-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw ComError(StorageHresultFromErrno(errno), "can not make a private directory for sa-learn in " + pattern);
        }
        path_ = pattern;
    }
    ~PrivateDirectory() { (void)DirStorage(Parent()).DestroyElement(Name()); }
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string Parent() const { return path_.substr(0, path_.find_last_of('/') + 1); }
    std::string Name() const { return path_.substr(path_.find_last_of('/') + 1); }
    std::string path_;
};

// Learns every message of one folder; returns how many were learned.
std::size_t LearnFolder(const store::MessageStore& messageStore, std::string_view name, bool spam,
                        const SpamAssassinPaths& paths, const std::string& privateDirectory, std::size_t& failed) {
    const std::string path = std::string(store::kBayesianFolder) + "/" + std::string(name);
    const auto folder = messageStore.FindFolder(path);
    if (!folder) {
        core::Log(core::LogLevelVerbose, "No folder " + path + " to learn from");
        return 0;
    }
    const auto envelopes = folder->GetEnvelopes();
    const std::string file = privateDirectory + "/message.eml";
    std::size_t learned = 0;
    for (const double uid : envelopes->Uids()) {
        const auto envelope = envelopes->FindEnvelope(uid);
        if (!envelope) continue;  // taken away meanwhile (a user moved it)
        try {
            envelope->ExportContent(file);
        } catch (const ComError& error) {
            core::Log(core::LogLevelWarning, "The message " + envelope->Namespace() + " can not be learned: " + error.what());
            ++failed;
            continue;
        }
        if (LearnMessage(paths, file, spam)) {
            envelopes->RemoveEnvelope(uid);
            ++learned;
        } else {
            ++failed;
        }
    }
    return learned;
}

}  // namespace

bool LearnMessage(const SpamAssassinPaths& paths, const std::string& file, bool spam) {
    // A relative path could begin with "-" and be taken for an option.
    const std::string argument = file.starts_with('/') ? file : "./" + file;
    const std::vector<std::string> argv{paths.saLearn, "--siteconfigpath", paths.directory, spam ? "--spam" : "--ham", argument};
    ProgramOptions options;
    options.timeout = kLearnTimeout;
    options.stdinFromNull = true;
    options.stdoutToNull = true;
    options.closeOtherDescriptors = true;
    const ProgramResult result = RunProgram(argv, options);
    if (result.status == 0) return true;
    const std::string why = result.timedOut ? "was stopped after " + std::to_string(kLearnTimeout.count()) + " s"
                            : result.status < 0 ? "could not be started or ended by a signal"
                                                : "exited with " + std::to_string(result.status);
    core::Log(core::LogLevelWarning, paths.saLearn + " " + why + " learning " + file + (spam ? " as spam" : " as good mail"));
    return false;
}

LearnCounts Learn(const store::MessageStore& messageStore, const SpamAssassinPaths& paths) {
    const PrivateDirectory directory;
    LearnCounts counts;
    counts.spamLearned = LearnFolder(messageStore, store::kBayesianSpamFolder, true, paths, directory.Path(), counts.failed);
    counts.goodLearned = LearnFolder(messageStore, store::kBayesianGoodFolder, false, paths, directory.Path(), counts.failed);
    core::Log(core::LogLevelNormal, Format("SpamAssassin learned %d spam and %d good messages; %d failed",
                                           {std::uint64_t{counts.spamLearned}, std::uint64_t{counts.goodLearned},
                                            std::uint64_t{counts.failed}}));
    return counts;
}

}  // namespace pw::antispam
