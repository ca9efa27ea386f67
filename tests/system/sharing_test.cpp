// One workstation's pairing among its processes, through the real
// libdyadc.so: opens counted per process (a killed process's are taken back),
// opens at the same moment, processes of other PID namespaces, and the
// objects of the shared Session against another user of the machine.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/lan_test.h"

namespace dyadc::test {
namespace {

using namespace std::chrono;

class Sharing : public LanTest {
protected:
    // test-host in workstation `h`, started through `wrapper` (unshare,
    // setpriv), with the detail log unless the wrapper changes the user.
    Child wrapped(int h, std::vector<std::string> wrapper, const std::vector<std::string>& steps) {
        wrapper.push_back(helperPath("test-host"));
        if (wrapper[0] != "setpriv") wrapper.insert(wrapper.end(), {"setlog", "/tmp/test.log", "100000000", "2"});
        wrapper.insert(wrapper.end(), steps.begin(), steps.end());
        return lan->spawn(h, wrapper);
    }
    // Waits until workstation h's log holds `message` `times` times.
    std::string shm(int h, const std::string& suffix = "") { return "/dev/shm/" + lan->host(h).session + suffix; }
};

TEST_F(Sharing, AKilledProcessesOpensAreTakenBackAndTheLastLiveCloseEndsThePairing) {
    start();
    Child responder = host(1, {"open", "2", "LAB7", "20", "recv", "1000", "15"});
    Child first = host(2, {"open", "1", "LAB7", "20", "wait", "close"});
    ASSERT_TRUE(first.waitForOutput("open 0\n")) << first.output();
    Child second = host(2, {"open", "1", "LAB7", "5", "hold"});
    ASSERT_TRUE(second.waitForOutput("holding")) << second.output();
    EXPECT_EQ(field(2, "openCount"), "2");
    second.kill(SIGKILL);
    second.wait();
    auto began = steady_clock::now();
    first.writeInput("\n");
    EXPECT_EQ(first.wait(seconds(20)), 0);
    EXPECT_EQ(first.output(), "setlog 0\nopen 0\ngo\nclose 0\n");
    EXPECT_EQ(responder.wait(seconds(30)), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws2\nopen 0\nrecv 23 -1 -1  \n");
    EXPECT_LT(steady_clock::now() - began, seconds(10)) << "the Responder heard the close";
}

// Two Responders (workstation 1) and two Initiators (workstation 4) open at
// the same moment; one Initiator (2) and one Responder (3) pair with them.
TEST_F(Sharing, OpensAtTheSameMomentJoinOnePairing) {
    Lan::Options options;
    options.hosts = 4;
    start(options);
    Child responders[] = {host(1, {"open", "2", "LAB7", "20", "hold"}),
                          host(1, {"open", "2", "LAB7", "20", "hold"})};
    Child initiators[] = {host(4, {"open", "1", "LAB8", "20", "hold"}),
                          host(4, {"open", "1", "LAB8", "20", "hold"})};
    ASSERT_TRUE(test::waitForLog(log(1), "DyadOpen initiated", seconds(20), 2));
    ASSERT_TRUE(test::waitForLog(log(4), "DyadOpen initiated", seconds(20), 2));
    Child initiator = host(2, {"open", "1", "LAB7", "20"});
    Child responder = host(3, {"open", "2", "LAB8", "20"});
    EXPECT_EQ(initiator.wait(seconds(30)), 0);
    EXPECT_EQ(responder.wait(seconds(30)), 0);
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 0\n");
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws4\nopen 0\n");
    for (Child* child : {&responders[0], &responders[1], &initiators[0], &initiators[1]}) {
        EXPECT_TRUE(child->waitForOutput("holding")) << child->output();
        EXPECT_TRUE(outputHas(*child, "open 0\n")) << child->output();
    }
    EXPECT_EQ(field(1, "openCount"), "2");
    EXPECT_EQ(field(4, "openCount"), "2");
    EXPECT_TRUE(outputHas(responders[0], "verified ws2") != outputHas(responders[1], "verified ws2"))
        << "one rendezvous";
}

// A process holds the connection through a series; a process of another PID
// namespace that sends meanwhile waits for the series' end instead of taking
// the connection for its own (both are process 1 of a namespace) or for a
// dead process's (its own namespace shows another process 1).
TEST_F(Sharing, ProcessesOfAnotherPidNamespaceAreNeitherDeadNorOneself) {
    const std::vector<std::string> pidNamespace{"unshare", "--pid", "--fork", "--kill-child"};
    std::vector<std::string> withProc = pidNamespace;
    withProc.push_back("--mount-proc");
    struct Case {
        const char* name;
        std::vector<std::string> holder, other;
    } cases[] = {{"both process 1", pidNamespace, pidNamespace}, {"one with its own /proc", withProc, {"env"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start();
        pairDirectly();
        Child receiver = host(1, {"recv", "4096", "30", "recv", "4096", "30", "recv", "4096", "30"});
        Child holder = wrapped(
            2, c.holder, {"send", "s1", "x", "21", "1000", "20", "wait", "send", "s2", "x", "20", "1000", "20"});
        ASSERT_TRUE(holder.waitForOutput("send 0\n")) << holder.output();
        Child other = wrapped(2, c.other, {"send", "single", "x", "7", "1000", "20"});
        EXPECT_TRUE(waitForLog(2, "socket in use by another process.  Waiting")) << other.output();
        holder.writeInput("\n");
        EXPECT_EQ(holder.wait(seconds(30)), 0);
        EXPECT_EQ(holder.output(), "setlog 0\nsend 0\ngo\nsend 0\n");
        EXPECT_EQ(other.wait(seconds(30)), 0);
        EXPECT_EQ(other.output(), "setlog 0\nsend 0\n");
        EXPECT_EQ(receiver.wait(seconds(30)), 0);
        EXPECT_EQ(receiver.output(),
                  "setlog 0\nrecv 0 1000 21 s1 x\nrecv 0 1000 20 s2 x\nrecv 0 1000 7 single x\n");
        holders[0] = Child();
        holders[1] = Child();
        lan.reset();
    }
}

// A second user of the machine, made for the test and removed after it.
class OtherUser {
public:
    OtherUser() : name_("dyt" + std::to_string(getpid())) {
        for (int attempt = 0; attempt < 20 && uid_ < 0; ++attempt) {
            const std::string add = "useradd --system --no-create-home --user-group --shell /usr/sbin/nologin " +
                                    name_;
            if (std::system(add.c_str()) == 0) {
                const passwd* entry = getpwnam(name_.c_str());
                if (entry != nullptr)
                    uid_ = static_cast<int>(entry->pw_uid), gid_ = static_cast<int>(entry->pw_gid);
            } else {
                std::this_thread::sleep_for(milliseconds(200));  // another process edits the user list
            }
        }
    }
    ~OtherUser() {
        if (uid_ >= 0 && std::system(("userdel " + name_).c_str()) != 0) ADD_FAILURE() << "userdel " << name_;
    }
    bool ok() const { return uid_ >= 0; }
    int uid() const { return uid_; }
    // The command that runs what follows it as this user.
    std::vector<std::string> as() const {
        return {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_), "--clear-groups"};
    }

private:
    std::string name_;
    int uid_ = -1;
    int gid_ = -1;
};

class AnotherUser : public Sharing {
protected:
    void SetUp() override {
        ASSERT_TRUE(user.ok());
        start();
    }
    OtherUser user;
};

// The other user's process loads the library first: its objects are not
// root's Session, which pairs on its own; the other user's process receives
// nothing of root's, and cutting its memory file harms nobody else.
TEST_F(AnotherUser, ObjectsOfAnotherUserAreNotShared) {
    Child theirs = wrapped(1, user.as(), {"hold"});
    ASSERT_TRUE(theirs.waitForOutput("holding"));
    for (const std::string& object : {shm(1), shm(1, ".lock")}) {
        struct stat status {};
        ASSERT_EQ(stat(object.c_str(), &status), 0) << object;
        EXPECT_EQ(static_cast<int>(status.st_uid), user.uid()) << object;
        EXPECT_EQ(status.st_mode & 07777, 0600u) << object;
    }
    EXPECT_EQ(lan->run(1, {helperPath("test-host")}, {"DYADDEBUG=1"}), 0);
    EXPECT_TRUE(logHas(lan->host(1).defaultLog(), "Warning: workstation " + lan->host(1).session +
                                                      " belongs to another user, or allows others in; this "
                                                      "process keeps its Session to itself"));
    Child responder = host(1, {"open", "2", "LAB7", "20", "wait", "recv", "4096", "20"});
    Child initiator = host(2, {"open", "1", "LAB7", "20", "send", "a", "b", "7", "1000", "20"});
    ASSERT_TRUE(responder.waitForOutput("open 0\n")) << responder.output();
    Child receiver = wrapped(1, user.as(), {"recv", "4096", "3"});
    EXPECT_EQ(receiver.wait(seconds(20)), 0);
    EXPECT_EQ(receiver.output().substr(0, 7), "recv 10") << receiver.output();
    EXPECT_EQ(lan->run(1, {"setpriv", "--reuid=" + std::to_string(user.uid()), "truncate", "-s", "0", shm(1)}), 0);
    responder.writeInput("\n");
    EXPECT_EQ(responder.wait(seconds(30)), 0);
    EXPECT_EQ(responder.output(), "setlog 0\nverified ws2\nopen 0\ngo\nrecv 0 1000 7 a b\n");
    EXPECT_EQ(initiator.wait(seconds(30)), 0);
    EXPECT_EQ(initiator.output(), "setlog 0\nopen 0\nsend 0\n");
}

// A lock on the lock object, held by the other user or by a stopped process of
// root's, and a lock object that others may open: a load goes on by itself
// within seconds, and says why.
TEST_F(AnotherUser, ALoadNeverWaitsForALockWithoutLimit) {
    const std::string lockObject = shm(1, ".lock");
    const std::string holdLock = "import fcntl, os, sys; f = os.open('" + lockObject +
                                 "', os.O_RDWR | os.O_CREAT, 0o600); os.fchmod(f, int(sys.argv[1], 8)); "
                                 "fcntl.lockf(f, fcntl.LOCK_EX); print('locked', flush=True); sys.stdin.read()";
    struct Case {
        const char* name;
        std::vector<std::string> as;
        const char* mode;
        const char* warning;
    } cases[] = {
        {"another user's lock", user.as(), "600", " belongs to another user, or allows others in;"},
        {"root's, open to others", {"env"}, "666", " belongs to another user, or allows others in;"},
        {"root's lock", {"env"}, "600", " stays locked by another process;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> locker = c.as;
        locker.insert(locker.end(), {"/usr/bin/python3", "-c", holdLock, c.mode});
        Child holder = lan->spawn(1, locker);
        ASSERT_TRUE(holder.waitForOutput("locked")) << holder.output();
        unlink(lan->host(1).defaultLog().c_str());
        std::string output;
        EXPECT_EQ(lan->run(1, {helperPath("test-host"), "sleep", "0"}, {"DYADDEBUG=1"}, &output, seconds(15)), 0)
            << output;
        EXPECT_TRUE(logHas(lan->host(1).defaultLog(), "Warning: workstation " + lan->host(1).session + c.warning +
                                                          " this process keeps its Session to itself"));
        holder.closeInput();
        EXPECT_EQ(holder.wait(), 0);
        unlink(lockObject.c_str());
    }
}

}  // namespace
}  // namespace dyadc::test
