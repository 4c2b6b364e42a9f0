// SpamAssassinConfig: local.cf's line rules (the key as a line's first word, comments, the last line
// winning), values and defaults by form, and changes that replace the file whole -- its mode kept,
// refused values leaving it byte for byte, nothing left beside it.
#include "antispam/SpamAssassinConfig.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace pw::antispam {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, std::string_view text, mode_t mode) {
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

std::vector<std::string> Names(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
    return names;
}

TEST(SpamAssassinConfigTest, ReadsAndWritesByLocalCfsLineRules) {
    const std::string text = "# required_hits 9\n  Required_Hits   5.5  # site\nrequired_hitsx 7\nscore required_hits 1\n";
    EXPECT_EQ(LocalCfValue(text, "required_hits"), "5.5");
    EXPECT_EQ(LocalCfValue(text, "use_bayes"), std::nullopt);
    EXPECT_EQ(LocalCfValue("use_bayes 0\nuse_bayes 1\n", "use_bayes"), "1");  // the last line wins, as for SpamAssassin
    EXPECT_EQ(LocalCfValue("use_bayes\n", "use_bayes"), std::nullopt);
    EXPECT_EQ(WithLocalCfValue("required_hits 5\n# required_hits 9\n", "required_hits", "6.50"),
              "required_hits 6.50\n# required_hits 9\n");
    // The first line is replaced and later ones, which would override it, dropped.
    EXPECT_EQ(WithLocalCfValue("a 1\nuse_bayes 0\nb 2\nUSE_BAYES 0\n", "use_bayes", "1"), "a 1\nuse_bayes 1\nb 2\n");
    EXPECT_EQ(WithLocalCfValue("a 1", "use_bayes", "1"), "a 1\nuse_bayes 1\n");
    EXPECT_EQ(WithLocalCfValue("", "use_bayes", "1"), "use_bayes 1\n");
    EXPECT_EQ(WithLocalCfValue("required_hits 5\r\nx 1\r\n", "required_hits", "3.00"), "required_hits 3.00\r\nx 1\r\n");
    EXPECT_EQ(WithLocalCfValue("required_hits 5", "required_hits", "3.00"), "required_hits 3.00");
}

TEST(SpamAssassinConfigTest, ValuesHaveTheirFormsAndDefaults) {
    test::ScratchDirectory dir;
    const SpamAssassinConfig config(dir.Path());
    Variant value;
    // No file: the defaults, and nothing can be written.
    EXPECT_EQ(config.Read("autolearn_nospam", value), S_FALSE);
    EXPECT_EQ(value.Type(), VT_R8);
    EXPECT_DOUBLE_EQ(value.AsDouble(), 0.1);
    EXPECT_TRUE(Failed(config.Write("required_score", Variant::R8(6))));
    EXPECT_TRUE(Names(dir.Path()).empty());

    WriteFile(config.FilePath(), "required_hits lots\nbayes_min_spam_num 120\nuse_bayes 1\n", 0644);
    EXPECT_EQ(config.Read("required_score", value), S_FALSE);  // not a number: the default
    EXPECT_DOUBLE_EQ(value.AsDouble(), 5.0);
    EXPECT_EQ(config.Read("bayes_min_spam", value), S_OK);
    EXPECT_EQ(value.Type(), VT_I4);
    EXPECT_EQ(value.AsI4(), 120);
    EXPECT_EQ(config.Read("BAYES", value), S_OK);
    EXPECT_TRUE(value.IsTrue());
    EXPECT_EQ(config.Read("autolearn", value), S_FALSE);
    EXPECT_EQ(value.Type(), VT_BOOL);
    EXPECT_FALSE(value.IsTrue());
    EXPECT_EQ(config.Read("no_such_setting", value), E_INVALIDARG);
    EXPECT_TRUE(SpamAssassinConfig::IsMappedKey("SYS:SPAM:SA:Required_Score"));
    EXPECT_FALSE(SpamAssassinConfig::IsMappedKey("sys:spam:sa:enabled"));
    EXPECT_FALSE(SpamAssassinConfig::IsMappedKey("sys:spam:sa:"));
}

TEST(SpamAssassinConfigTest, ChangesReplaceTheFileKeepingItsModeAndRefusalsLeaveIt) {
    test::ScratchDirectory dir;
    const SpamAssassinConfig config(dir.Path());
    WriteFile(config.FilePath(), "required_hits 5\n# required_hits 9\n", 0604);
    const mode_t previous = ::umask(077);  // the umask must not narrow the file
    EXPECT_EQ(config.Write("required_score", Variant::R8(6.5)), S_OK);
    EXPECT_EQ(config.Write("autolearn_spam", Variant::Text(" 14 ")), S_OK);
    EXPECT_EQ(config.Write("bayes_min_nospam", Variant::I2(40)), S_OK);
    EXPECT_EQ(config.Write("autolearn", Variant::Bool(true)), S_OK);
    EXPECT_EQ(config.Write("bayes", Variant::Bool(true)), S_OK);
    ::umask(previous);
    const std::string expected = "required_hits 6.50\n# required_hits 9\nbayes_auto_learn_threshold_spam 14.00\nbayes_min_ham_num 40\n"
                                 "bayes_auto_learn 1\nuse_bayes 1\nbayes_path " + dir.Path() + "/bayes\n";
    EXPECT_EQ(ReadFile(config.FilePath()), expected);
    for (const auto& [name, value] : std::initializer_list<std::pair<std::string_view, Variant>>{
             {"required_score", Variant::Text("7\r\nuse_bayes 0")},
             {"required_score", Variant::Text("7\n")},
             {"required_score", Variant::Text("seven")},
             {"bayes_min_spam", Variant::R8(2.5)},
             {"autolearn", Variant::Text("maybe")},
             {"config", Variant::I4(1)},
             {"nothing", Variant::I4(1)}}) {
        EXPECT_EQ(config.Write(name, value), E_INVALIDARG) << name;
    }
    EXPECT_EQ(ReadFile(config.FilePath()), expected);
    EXPECT_EQ(config.Write("config", Variant::Text("required_hits 4\r\n")), S_OK);
    EXPECT_EQ(ReadFile(config.FilePath()), "required_hits 4\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(config.FilePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"local.cf"});
}

TEST(SpamAssassinConfigTest, ReadsTheRegistrysPathsWithDefaults) {
    test::ScratchDirectory dir;
    const Registry registry(dir / "test.reg");
    SpamAssassinPaths paths = ReadSpamAssassinPaths(registry);
    EXPECT_EQ(paths.directory, "/etc/spamassassin");
    EXPECT_EQ(paths.spamd, "127.0.0.1:783");
    EXPECT_EQ(paths.saLearn, "sa-learn");
    ASSERT_EQ(registry.SetString(SpamAssassinKey(), "Directory", "/srv/sa//"), S_OK);
    ASSERT_EQ(registry.SetString(SpamAssassinKey(), "Spamd", "/run/spamd.sock"), S_OK);
    paths = ReadSpamAssassinPaths(registry);
    EXPECT_EQ(paths.directory, "/srv/sa");
    EXPECT_EQ(paths.spamd, "/run/spamd.sock");
    EXPECT_EQ(SpamAssassinKey(), "HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Pellworth\\SpamAssassin");
}

}  // namespace
}  // namespace pw::antispam
