// What the rewritten file holds: the update's and the removal's line rules,
// applied to real files by the built command.  Every successful run
// replaces the file by a new one (a new inode), even when the bytes stay.
#include <sys/stat.h>
#include <unistd.h>

#include "blackbox_support.h"

namespace blackbox {
namespace {

struct RuleCase {
    const char *what;
    std::string before;
    std::vector<std::string> op;  // {"update", NAME, ADDRESS} or {"remove", NAME}
    std::string after;
};

class RuleTest : public HostsTest {
protected:
    void check(const RuleCase &c) {
        SCOPED_TRACE(c.what);
        const std::string hosts = path("hosts");
        writeFile(hosts, c.before);
        const ino_t inode = lstatOf(hosts).st_ino;
        std::vector<std::string> operands{c.op[0], hosts};
        operands.insert(operands.end(), c.op.begin() + 1, c.op.end());
        ASSERT_EQ(runCommand(operands), 0);
        EXPECT_EQ(readFile(hosts), c.after);
        EXPECT_NE(lstatOf(hosts).st_ino, inode) << "the file was not replaced";
    }
};

const std::vector<std::string> kUpdate{"update", "myhost", "10.0.0.5"};
const std::vector<std::string> kRemove{"remove", "myhost"};

TEST_F(RuleTest, Update) {
    const RuleCase cases[] = {
        {"empty file", "", kUpdate, "10.0.0.5 myhost\n"},
        {"exact entry, other letter case, later conflicts dropped",
         "1.1.1.1 a\n10.0.0.5 MyHost al\n10.0.0.5 other\n10.0.0.7 myhost\n2.2.2.2 b\n", kUpdate,
         "1.1.1.1 a\n10.0.0.5 MyHost al\n2.2.2.2 b\n"},
        {"address under another name keeps aliases",
         "10.0.0.5 oldname alias1\n",
         {"update", "newname", "10.0.0.5"},
         "10.0.0.5 newname alias1\n"},
        {"name in other case, no aliases", "10.0.0.9 MyHost\n", kUpdate, "10.0.0.5 myhost \n"},
        {"tabs between words", "10.0.0.9\tmyhost\talias\n", kUpdate, "10.0.0.5 myhost alias\n"},
        {"two blanks after the name", "10.0.0.9 myhost  a1\ta2 \n", kUpdate, "10.0.0.5 myhost  a1\ta2 \n"},
        {"leading blanks", "  \t10.0.0.9 myhost x\n", kUpdate, "10.0.0.5 myhost x\n"},
        {"only the first conflict stays, an exact match further down goes",
         "1.1.1.1 x\n10.0.0.9 myhost\n10.0.0.5 other\n10.0.0.5 myhost\n2.2.2.2 y\n", kUpdate,
         "1.1.1.1 x\n10.0.0.5 myhost \n2.2.2.2 y\n"},
        {"first conflict by address", "10.0.0.5 a b\n10.0.0.9 myhost\n", kUpdate, "10.0.0.5 myhost b\n"},
        {"name only as an alias", "10.0.0.9 other myhost\n", kUpdate, "10.0.0.9 other myhost\n10.0.0.5 myhost\n"},
        {"comment lines are never compared",
         "#10.0.0.9 myhost # old\n# myhost is the build server\n \t# 10.0.0.5 x\n10.0.0.9 myhost\n", kUpdate,
         "#10.0.0.9 myhost # old\n# myhost is the build server\n \t# 10.0.0.5 x\n10.0.0.5 myhost \n"},
        {"\"#\" inside an entry is an ordinary character", "10.0.0.9 myhost#1\n10.0.0.9# myhost\n", kUpdate,
         "10.0.0.9 myhost#1\n10.0.0.5 myhost \n"},
        {"addresses compare as text", "10.0.0.05 other\n", kUpdate, "10.0.0.05 other\n10.0.0.5 myhost\n"},
        {"addresses compare byte for byte",
         "FE80::A other\n",
         {"update", "myhost", "fe80::a"},
         "FE80::A other\nfe80::a myhost\n"},
        {"CR LF belongs to the line end", "1.1.1.1 a\r\n10.0.0.9 myhost\r\n", kUpdate,
         "1.1.1.1 a\r\n10.0.0.5 myhost \r\n"},
        {"CR LF after aliases", "10.0.0.9 myhost alias\r\n", kUpdate, "10.0.0.5 myhost alias\r\n"},
        {"CR ending a last line", "10.0.0.9 MYHOST\r", kUpdate, "10.0.0.5 myhost \r\n"},
        {"CR inside a line is a character", "10.0.0.9 myhost\rx\n", kUpdate, "10.0.0.9 myhost\rx\n10.0.0.5 myhost\n"},
        {"blank and one-word lines copied", "\n   \nlonely\n\t\n", kUpdate, "\n   \nlonely\n\t\n10.0.0.5 myhost\n"},
        {"last line without newline, append on a line of its own", "1.1.1.1 x", kUpdate,
         "1.1.1.1 x\n10.0.0.5 myhost\n"},
        {"last line without newline replaced", "1.1.1.1 x\n10.0.0.9 myhost", kUpdate, "1.1.1.1 x\n10.0.0.5 myhost \n"},
    };
    for (const RuleCase &c : cases) check(c);
}

TEST_F(RuleTest, Remove) {
    const RuleCase cases[] = {
        {"name absent: same bytes, new file", "127.0.0.1 localhost\n# c\n", kRemove, "127.0.0.1 localhost\n# c\n"},
        {"every entry, any case, any address", "10.0.0.1 MyHost\n3.3.3.3 keep\n10.0.0.2 myhost a\n", kRemove,
         "3.3.3.3 keep\n"},
        {"alias only stays", "10.0.0.1 other myhost\n", kRemove, "10.0.0.1 other myhost\n"},
        {"name as first word stays", "myhost other\n", kRemove, "myhost other\n"},
        {"comment lines stay", "#10.0.0.9 myhost\n# myhost note\n  #x myhost\n", kRemove,
         "#10.0.0.9 myhost\n# myhost note\n  #x myhost\n"},
        {"spacing of other lines kept", "  1.1.1.1 \t a  b \n\n single\n\t\n", kRemove,
         "  1.1.1.1 \t a  b \n\n single\n\t\n"},
        {"CR LF", "10.0.0.9 myhost\r\n1.1.1.1 x\r\n10.0.0.8 myhost alias\r\n10.0.0.7 myhost\r", kRemove,
         "1.1.1.1 x\r\n"},
        {"unmatched last line without newline", "10.0.0.1 myhost\n1.1.1.1 x", kRemove, "1.1.1.1 x"},
        {"matched last line without newline", "1.1.1.1 x\n10.0.0.1 myhost", kRemove, "1.1.1.1 x\n"},
        {"empty file stays empty", "", kRemove, ""},
    };
    for (const RuleCase &c : cases) check(c);
}

// Lines and arguments of any length are handled whole.
TEST_F(RuleTest, LongLinesAndLongArguments) {
    const std::string longText(10000, 'a');
    const std::string longName = "h" + std::string(3000, 'n') + ".example";
    const std::string longAddress = "fe80::" + std::string(1000, '1');
    const RuleCase cases[] = {
        {"unmatched long line copied byte for byte", "1.1.1.1 keep " + longText + "\n", kUpdate,
         "1.1.1.1 keep " + longText + "\n10.0.0.5 myhost\n"},
        {"long rest kept in the replacement", "10.0.0.9 myhost " + longText + "\n", kUpdate,
         "10.0.0.5 myhost " + longText + "\n"},
        {"long line after the name, exact match", "10.0.0.5 myhost " + longText + "\n2.2.2.2 b\n", kUpdate,
         "10.0.0.5 myhost " + longText + "\n2.2.2.2 b\n"},
        {"second word far into the line", "1.1.1.1" + std::string(300, ' ') + "myhost\n2.2.2.2 b\n", kRemove,
         "2.2.2.2 b\n"},
        {"long line removed whole", "10.0.0.9 myhost " + longText + "\n2.2.2.2 b\n", kRemove, "2.2.2.2 b\n"},
        {"long name and address appended",
         "1.1.1.1 x\n",
         {"update", longName, longAddress},
         "1.1.1.1 x\n" + longAddress + " " + longName + "\n"},
        {"long name found again",
         longAddress + " " + longName + "\n",
         {"update", longName, "10.0.0.1"},
         "10.0.0.1 " + longName + " \n"},
        {"long name removed",
         "1.1.1.1 x\n10.0.0.1 " + longName + " " + longText + "\n",
         {"remove", longName},
         "1.1.1.1 x\n"},
    };
    for (const RuleCase &c : cases) check(c);
}

// A bare file name: the file and its temporary file are in the current
// directory.
TEST_F(HostsTest, BareFileNameUsesTheCurrentDirectory) {
    writeFile(path("hosts"), "1.1.1.1 x\n");
    Launch here;
    here.cwd = dir_;
    EXPECT_EQ(runCommand({"update", "hosts", "myhost", "10.0.0.5"}, here), 0);
    EXPECT_EQ(runCommand({"remove", "hosts", "x"}, here), 0);
    EXPECT_EQ(readFile(path("hosts")), "10.0.0.5 myhost\n");
}

// A symbolic link is replaced by a regular file with the new content; its
// former target keeps the old content and lends its mode and owner.
TEST_F(HostsTest, SymbolicLinkIsReplacedByARegularFile) {
    const std::string target = path("target"), link = path("hosts");
    writeFile(target, "10.0.0.9 myhost\n");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(target.c_str(), 1234, 5678), 0);
    }
    ASSERT_EQ(symlink("target", link.c_str()), 0);
    ASSERT_EQ(runCommand({"update", link, "myhost", "10.0.0.5"}), 0);
    const struct stat st = lstatOf(link);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
    EXPECT_EQ(readFile(link), "10.0.0.5 myhost \n");
    EXPECT_EQ(readFile(target), "10.0.0.9 myhost\n");
}

}  // namespace
}  // namespace blackbox
