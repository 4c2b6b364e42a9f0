// VirusScan: the settings, and the scan of a whole message or of its attachments.
#include "antivirus/VirusScan.h"

#include "antivirus/Clamd.h"
#include "antivirus/CommandLineScanner.h"
#include "mime/Message.h"
#include "platform/FileStream.h"
#include "platform/Text.h"

#include <cstdio>
#include <memory>

namespace pw::antivirus {

namespace {

constexpr std::string_view kMessageFile = "message.eml";
constexpr std::string_view kReportFile = "report.txt";

std::unique_ptr<FileStream> OpenContent(const store::Envelope& envelope, std::string& problem) {
    try {
        return envelope.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
    } catch (const ComError& error) {
        problem = std::string("the message can not be read: ") + error.what();
        return nullptr;
    }
}

ScanResult ScanWhole(const store::Envelope& envelope, const ScanSettings& settings, const ScratchDirectory& scratch) {
    std::string problem;
    const auto content = OpenContent(envelope, problem);
    if (!content) return {Verdict::Failed, problem};
    const std::string file = scratch.Path() + "/" + std::string(kMessageFile);
    std::FILE* out = std::fopen(file.c_str(), "wbx");
    if (!out) return {Verdict::Failed, "can not write " + file};
    std::vector<std::byte> chunk(64 * 1024);
    bool written = true;
    for (;;) {
        std::size_t got = 0;
        if (const HRESULT hr = content->Read(std::span(chunk), got); hr == STG_E_ENDOFFILE) {
            break;
        } else if (Failed(hr)) {
            written = false;
            break;
        }
        if (got == 0) break;
        if (std::fwrite(chunk.data(), 1, got, out) != got) {
            written = false;
            break;
        }
    }
    if (std::fclose(out) != 0) written = false;
    if (!written) return {Verdict::Failed, "can not copy the message to " + file};
    return RunScanner(settings, file, scratch.Path() + "/" + std::string(kReportFile));
}

// The leaf parts worth scanning, depth first, children before siblings.
void CollectAttachments(const mime::MessagePart::Children& parts, std::vector<std::shared_ptr<mime::MessagePart>>& found) {
    for (const auto& part : parts) {
        if (!part) continue;
        if (!part->Parts().empty()) {
            CollectAttachments(part->Parts(), found);
            continue;
        }
        const bool plainText = EqualsNoCase(part->Header().ContentType(), "text") && EqualsNoCase(part->Header().ContentSubType(), "plain");
        if (plainText) continue;
        if (!part->Header().Parameter("Content-Type", "name").empty() || !part->Header().Parameter("Content-Disposition", "filename").empty()) {
            found.push_back(part);
        }
    }
}

std::string NameOf(const mime::MessagePart& part) {
    std::string name = part.Header().Parameter("Content-Type", "name");
    return name.empty() ? part.Header().Parameter("Content-Disposition", "filename") : name;
}

ScanResult ScanAttachments(const store::Envelope& envelope, const ScanSettings& settings, const std::string& base) {
    mime::Message message;
    try {
        envelope.GetContent(message);
    } catch (const ComError& error) {
        return {Verdict::Failed, std::string("the message can not be read: ") + error.what()};
    }
    if (!message.IsMimeEncoded()) return {Verdict::Clean, {}};
    std::vector<std::shared_ptr<mime::MessagePart>> attachments;
    std::vector<std::shared_ptr<mime::MessagePart>> top;
    for (mime::PartPosition at = message.RootPartPosition(); !at.empty(); at = message.NextPartPosition(at)) top.push_back(message.GetPart(at));
    CollectAttachments(top, attachments);
    if (attachments.empty()) return {Verdict::Clean, {}};
    std::string problem;
    const auto scratch = ScratchDirectory::Make(base, problem);
    if (!scratch) return {Verdict::Failed, problem};
    for (std::size_t i = 0; i < attachments.size(); ++i) {
        const std::string file = scratch->Path() + "/" + AttachmentFileName(i + 1, NameOf(*attachments[i]));
        try {
            attachments[i]->DecodeToFile(file);
        } catch (const ComError& error) {
            return {Verdict::Failed, "can not write " + file + ": " + error.what()};
        }
        ScanResult result = RunScanner(settings, file, scratch->Path() + "/" + std::string(kReportFile));
        if (result.verdict != Verdict::Clean) return result;
        std::remove(file.c_str());
    }
    return {Verdict::Clean, {}};
}

}  // namespace

ScanSettings ScanSettings::Read(const core::ConfigTree& config, std::string clamd) {
    ScanSettings settings;
    settings.type = config.GetCopy("sys:av:avtype").AsI4();
    settings.tempPath = config.GetCopy("sys:av:temppath").AsText();
    settings.commandPath = config.GetCopy("sys:av:commandpath").AsText();
    settings.commandLine = config.GetCopy("sys:av:commandline").AsText();
    settings.perAttachment = config.GetCopy("sys:av:mime").IsTrue();
    for (int i = 0;; ++i) {
        Variant code;
        if (!config.Get(Format("sys:av:retcode:%d:code", {std::int64_t{i}}), code)) break;
        settings.retcodes.emplace_back(code.AsI4(), config.GetCopy(Format("sys:av:retcode:%d:desc", {std::int64_t{i}})).AsText());
    }
    Variant timeout;
    if (config.Get("sys:av:timeout", timeout) && timeout.AsI4() > 0) settings.timeout = std::chrono::seconds(timeout.AsI4());
    settings.clamd = std::move(clamd);
    return settings;
}

ScanResult Scan(const store::Envelope& envelope, const ScanSettings& settings) {
    if (settings.type == kScannerEngine) {
        std::string problem;
        const auto content = OpenContent(envelope, problem);
        if (!content) return {Verdict::Failed, problem};
        return ClamdScan(settings.clamd, *content, settings.timeout);
    }
    if (settings.type != kScannerCommandLine) return {Verdict::Clean, {}};
    // A scanner that is not set up scans nothing: the administrator's template decides where the
    // file and the report go, and one without either can not be run.
    if (settings.commandPath.empty() || settings.commandLine.find("%TEMPFILE%") == std::string::npos ||
        settings.commandLine.find("%REPORTFILE%") == std::string::npos) {
        return {Verdict::Clean, {}};
    }
    if (settings.perAttachment) return ScanAttachments(envelope, settings, settings.tempPath);
    std::string problem;
    const auto scratch = ScratchDirectory::Make(settings.tempPath, problem);
    if (!scratch) return {Verdict::Failed, problem};
    return ScanWhole(envelope, settings, *scratch);
}

}  // namespace pw::antivirus
