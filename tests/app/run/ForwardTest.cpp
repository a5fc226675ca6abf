#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "PgServer.h"
#include "ProgramRun.h"
#include "ReaderSim.h"
#include "TestSupport.h"

namespace {

using readersim::ReaderSim;

constexpr int LimitMs = 30000;
constexpr std::uint32_t FirstTimedCard = 500000;  // the emulator's live events count up from here

// The program under --watch, forwarding to Url, its journal gathered as it comes.
class TForwardingWatch {
 public:
  TForwardingWatch(const TProgramFolder& Folder, const QString& Url) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QUILLMERE_FORWARD", Url);
    Process.setProcessEnvironment(environment);
    Process.start(Folder.Program(), {"--watch"});
    EXPECT_TRUE(Process.waitForStarted());
  }
  ~TForwardingWatch() {
    if (Process.state() != QProcess::NotRunning) Process.kill();
    Process.waitForFinished();
  }
  bool Says(const QString& Text, int Times = 1) {
    return WaitUntil(
        [&] {
          Output += QString::fromLocal8Bit(Process.readAllStandardError());
          return Output.count(Text) >= Times;
        },
        LimitMs);
  }
  // SIGTERM; how long it took to end, or -1 when it did not end.
  qint64 Stop() {
    QElapsedTimer stopping;
    stopping.start();
    Process.terminate();
    if (!Process.waitForFinished(LimitMs)) return -1;
    const qint64 ms = stopping.elapsed();
    Output += QString::fromLocal8Bit(Process.readAllStandardError());
    return ms;
  }
  QProcess Process;
  QString Output;
};

int ServerInt(const TPgServer& Server, const QString& Db, const QString& Sql) {
  return Server.Sql(Sql, Db).trimmed().toInt();
}

// Whether the server holds the live event of Card, within the test's limit.
bool Arrives(const TPgServer& Server, const QString& Db, std::uint32_t Card) {
  const QString count = QStringLiteral("SELECT COUNT(*) FROM records WHERE cardno = %1").arg(Card);
  return WaitUntil([&] { return ServerInt(Server, Db, count) == 1; }, LimitMs);
}

// The real program with --forward: what it collected reaches the server with its site and
// journal; a server that refuses or is gone leaves the local collection whole and says so on
// the right priority; the password written in the URL never appears in anything it prints. The
// run that forwards finds 100 records in logs.mdb and collects 20 again: one line counts both.
TEST(Forward, TheProgramForwardsWhatItCollectedAndNeverPrintsThePassword) {
  TPgServer server;
  const QString db = server.CreateDatabase("central");
  const QString password = QStringLiteral("secret");
  ReaderSim sim(readersim::SampleLog(120, 5));
  TProgramFolder folder;
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, false);
  const QTemporaryDir nowhere;  // no server's socket in it
  const struct {
    QString Url;
    const char* Line;
    int Exit;  // a refusal needs a person; an outage passes by itself
    QString Before = {};  // run on logs.mdb first
  } cases[] = {
      // A mistyped scheme, like every forwarding failure, comes after the readers are collected.
      {QStringLiteral("postgres:/quill:%1@/central").arg(password),
       "<3>forwarding failed: the URL of --forward (or QUILLMERE_FORWARD) must begin with postgresql://", 6},
      {server.Url("nosuchdb", password), "<3>forwarding to ", 6},
      {QStringLiteral("postgresql://quill:%1%@/central").arg(password), "<3>forwarding failed: the URL of --forward", 6},
      {QStringLiteral("postgresql://quill:%1@/central?host=%2").arg(password, nowhere.path()), "<4>forwarding to ", 0},
      {server.Url(db, password), "<6>forwarded 120 records and ", 0, "DELETE FROM records WHERE rowid > 100"},
  };
  for (const auto& c : cases) {
    if (!c.Before.isEmpty()) folder.Execute(c.Before);
    ASSERT_TRUE(folder.RunProgram(90000, {}, {"env", "QUILLMERE_FORWARD=" + c.Url}));
    EXPECT_EQ(folder.ExitCode, c.Exit) << c.Line;
    EXPECT_TRUE(folder.ErrorOutput.contains(c.Line)) << folder.ErrorOutput.toStdString();
    EXPECT_FALSE(folder.ErrorOutput.contains(password)) << folder.ErrorOutput.toStdString();
    EXPECT_EQ(folder.RecordCount(), 120);
  }
  EXPECT_EQ(server.Sql("SELECT COUNT(*), MIN(site) = MAX(site) FROM records", db).trimmed(), "120|t");
  EXPECT_EQ(server.Sql("SELECT outcome FROM visits ORDER BY id", db).trimmed().split('\n'),
            (QStringList{"done", "done", "done", "done", "done"}));

  // A run that stops at a row it cannot read says what its forward had sent by then: here
  // everything again, while a reader took 2 s to answer its lock.
  readersim::SimFaults slowLock;
  slowLock.ReplyDelayMsFor[0x00] = 2000;
  ReaderSim slow(readersim::SampleLog(1, 7), slowLock);
  folder.Execute("DELETE FROM readers");
  folder.Execute("DELETE FROM forwarding");
  folder.AddReader("127.0.0.1", QString::number(slow.Port()), false, true, false);
  folder.Execute(QStringLiteral("INSERT INTO readers VALUES ('127.0.0.1', '%1', NULL, 1, 0)").arg(slow.Port()));
  ASSERT_TRUE(folder.RunProgram(90000, {}, {"env", "QUILLMERE_FORWARD=" + server.Url(db, password)}));
  EXPECT_EQ(folder.ExitCode, 1);
  EXPECT_TRUE(folder.ErrorOutput.contains("<6>forwarded 120 records and 5 visits to ") &&
              folder.ErrorOutput.contains(" before the run stopped; the rest stays in logs.mdb for the next run"))
      << folder.ErrorOutput.toStdString();
  // Its forward's own failure is said all the same, not only kept in logs.mdb.
  ASSERT_TRUE(folder.RunProgram(90000, {}, {"env", "QUILLMERE_FORWARD=" + server.Url("nosuchdb", password)}));
  EXPECT_EQ(folder.ExitCode, 1);
  EXPECT_TRUE(folder.ErrorOutput.contains("<3>forwarding to ")) << folder.ErrorOutput.toStdString();
  // One still waiting on a server that never answers is stopped with the run, which is no failure of the server's.
  const TLoopbackPeer silent;
  folder.Execute("DELETE FROM readers WHERE setclk IS NOT NULL");
  ASSERT_TRUE(folder.RunProgram(
      90000, {}, {"env", QStringLiteral("QUILLMERE_FORWARD=postgresql://quill@127.0.0.1:%1/central").arg(silent.Port())}));
  EXPECT_EQ(folder.ExitCode, 1);
  EXPECT_FALSE(folder.ErrorOutput.contains("forward")) << folder.ErrorOutput.toStdString();
}

// A watch forwards live events as they come, over one connection. A server that goes away is
// one <4> line, noted for the check, and its return one <6> line; a SIGTERM while a forward waits
// on a frozen server ends the watch within the second, and the next start sends what the server
// had not acknowledged: every record on the server exactly once.
TEST(Forward, AWatchForwardsAsEventsComeThroughAnOutageAndAStop) {
  TPgServer server;
  const QString db = server.CreateDatabase("central");
  readersim::SimFaults events;
  events.EventEveryMs = 20;
  ReaderSim sim(readersim::SampleLog(50, 5), events);
  TProgramFolder folder;
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, false);
  TForwardingWatch watch(folder, server.Url(db, "secret"));
  ASSERT_TRUE(watch.Says("<6>forwarding to ")) << watch.Output.toStdString();
  ASSERT_TRUE(Arrives(server, db, FirstTimedCard + 10)) << watch.Output.toStdString();
  ASSERT_TRUE(server.Stop("immediate"));
  ASSERT_TRUE(watch.Says("<4>forwarding to ")) << watch.Output.toStdString();
  EXPECT_EQ(folder.Query("SELECT last_error IS NOT NULL FROM forwarding"), QStringList{"1"});
  const auto sentInOutage = static_cast<std::uint32_t>(sim.EventsSent());
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(watch.Says("<6>forwarding to ", 2)) << watch.Output.toStdString();
  EXPECT_EQ(watch.Output.count("<4>forwarding"), 1) << watch.Output.toStdString();
  ASSERT_TRUE(Arrives(server, db, FirstTimedCard + sentInOutage + 10)) << watch.Output.toStdString();
  const QString backend =
      server.Sql("SELECT pid FROM pg_stat_activity WHERE application_name = 'quillmere'", db).trimmed();
  ASSERT_FALSE(backend.isEmpty());
  ::kill(backend.toInt(), SIGSTOP);
  const int frozenAt = folder.RecordCount();
  // Events stored after the freeze, and a look at logs.mdb since: the forward waits on the server.
  EXPECT_TRUE(WaitUntil([&] { return folder.RecordCount() > frozenAt + 5; }, LimitMs));
  QThread::msleep(1500);
  const qint64 stopMs = watch.Stop();
  ::kill(backend.toInt(), SIGCONT);
  EXPECT_GE(stopMs, 0);
  EXPECT_LT(stopMs, StopBoundMs) << watch.Output.toStdString();
  EXPECT_EQ(watch.Process.exitCode(), 0) << watch.Output.toStdString();
  EXPECT_TRUE(watch.Output.contains(" records wait in logs.mdb for the next forward")) << watch.Output.toStdString();
  ASSERT_TRUE(folder.RunProgram(90000, {"QUILLMERE_FORWARD=" + server.Url(db, "secret")}));
  EXPECT_EQ(folder.ExitCode, 0) << folder.ErrorOutput.toStdString();
  EXPECT_EQ(folder.DoubledRecords(), 0);
  EXPECT_EQ(ServerInt(server, db, "SELECT COUNT(*) FROM records"), folder.RecordCount());
  EXPECT_FALSE((watch.Output + folder.ErrorOutput).contains("secret"));
}

// What needs a person ends the watch as a run's refused forward would, the readers watched all
// the same: a refused login is a <3> line; a row the server refuses is set aside with its <3>
// line while the rest goes on, and the watch still ends refused.
TEST(Forward, AWatchThatNeedsAPersonSaysSoAndEndsRefused) {
  TPgServer server;
  const QString db = server.CreateDatabase("central");
  readersim::SimFaults events;
  events.EventEveryMs = 20;
  ReaderSim sim(readersim::SampleLog(20, 5), events);
  TProgramFolder folder;
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, false);
  {
    TForwardingWatch refused(folder, server.Url(db, "wrong"));
    ASSERT_TRUE(refused.Says("<3>forwarding to ")) << refused.Output.toStdString();
    ASSERT_TRUE(refused.Says(" done: ")) << refused.Output.toStdString();
    ASSERT_GE(refused.Stop(), 0);
    EXPECT_EQ(refused.Output.count("<3>forwarding"), 1) << refused.Output.toStdString();
    EXPECT_EQ(refused.Process.exitCode(), 6) << refused.Output.toStdString();
  }
  TForwardingWatch watch(folder, server.Url(db, "secret"));
  ASSERT_TRUE(watch.Says("<6>forwarding to ")) << watch.Output.toStdString();
  const std::uint32_t refusedCard = FirstTimedCard + static_cast<std::uint32_t>(sim.EventsSent()) + 20;
  server.Sql(QStringLiteral("ALTER TABLE records ADD CHECK (cardno <> %1)").arg(refusedCard), db);
  ASSERT_TRUE(watch.Says("<3>rows set aside (table forwarding_rejected in logs.mdb): refused by ")) << watch.Output.toStdString();
  ASSERT_TRUE(Arrives(server, db, refusedCard + 10)) << watch.Output.toStdString();
  ASSERT_GE(watch.Stop(), 0);
  EXPECT_EQ(watch.Process.exitCode(), 6) << watch.Output.toStdString();
  EXPECT_EQ(folder.Query(QStringLiteral("SELECT COUNT(*) FROM forwarding_rejected r JOIN records l ON l.rowid = r.local_id "
                                        "WHERE l.CARDNO = %1").arg(refusedCard)),
            QStringList{"1"});
}

// A name server that takes the query and never answers: the forward gives up at our connect
// deadline, not the resolver's (here three tries of 5 s), and says why. It needs a private
// mount namespace and port 53, so root; elsewhere it is skipped.
TEST(Forward, AServerNameNoOneResolvesIsGivenUpAtOurDeadline) {
  const int silent = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(0x7F000002);
  const bool bound = ::bind(silent, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  const QTemporaryDir folderOfConf;
  QFile conf(folderOfConf.filePath("resolv.conf"));
  ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
  conf.write("nameserver 127.0.0.2\noptions timeout:5 attempts:3\n");
  conf.close();
  if (!bound || QProcess::execute("unshare", {"--mount", "true"}) != 0) {
    ::close(silent);
    GTEST_SKIP() << "needs root: a private mount namespace and port 53";
  }
  TProgramFolder folder;
  ASSERT_TRUE(folder.RunProgram(LimitMs, {"QUILLMERE_FORWARD=postgresql://quill@pg.central.example/central"},
                                {"unshare", "--mount", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$1\"",
                                 conf.fileName()}));
  ::close(silent);
  EXPECT_TRUE(folder.ErrorOutput.contains("<4>forwarding") &&
              folder.ErrorOutput.contains("the name pg.central.example was not looked up in time"))
      << folder.ErrorOutput.toStdString();
  EXPECT_EQ(folder.ExitCode, 0);  // an outage, which the next run retries
}

// logs.mdb failing under the forward (here its table of marks is something else) is a <3> line
// while the readers are watched all the same, and the watch ends as a run whose store failed.
TEST(Forward, AWatchWhoseLogsMdbFailsToForwardEndsStoreFailed) {
  const QTemporaryDir nowhere;  // no server's socket in it: the failure comes first
  ReaderSim sim(readersim::SampleLog(20, 5));
  TProgramFolder folder;
  folder.AddReader("127.0.0.1", QString::number(sim.Port()), true, true, false);
  folder.Execute("CREATE VIEW forwarding AS SELECT 'x' AS target");
  TForwardingWatch watch(folder, QStringLiteral("postgresql://quill@/central?host=%1").arg(nowhere.path()));
  ASSERT_TRUE(watch.Says("<3>forwarding to ")) << watch.Output.toStdString();
  ASSERT_TRUE(watch.Says(" done: ")) << watch.Output.toStdString();
  ASSERT_GE(watch.Stop(), 0);
  EXPECT_TRUE(watch.Output.contains(": logs.mdb: ")) << watch.Output.toStdString();
  EXPECT_EQ(watch.Process.exitCode(), 8) << watch.Output.toStdString();
  EXPECT_EQ(folder.RecordCount(), 20);
}

}  // namespace
