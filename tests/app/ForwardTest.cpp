#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "PgServer.h"
#include "ProgramRun.h"
#include "ReaderSim.h"

namespace {

using readersim::ReaderSim;

// The real program with --forward: what it collected reaches the server with its site and
// journal; a server that refuses or is gone leaves the local collection whole and says so on
// the right priority; the password written in the URL never appears in anything it prints.
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
  } cases[] = {
      {server.Url("nosuchdb", password), "<3>forwarding to ", 6},
      {QStringLiteral("postgresql://quill:%1%@/central").arg(password), "<3>forwarding failed: the URL of --forward", 6},
      {QStringLiteral("postgresql://quill:%1@/central?host=%2").arg(password, nowhere.path()), "<4>forwarding to ", 0},
      {server.Url(db, password), "<6>forwarded 120 records and ", 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(folder.RunProgram(90000, {}, {"env", "QUILLMERE_FORWARD=" + c.Url}));
    EXPECT_EQ(folder.ExitCode, c.Exit) << c.Line;
    EXPECT_TRUE(folder.ErrorOutput.contains(c.Line)) << folder.ErrorOutput.toStdString();
    EXPECT_FALSE(folder.ErrorOutput.contains(password)) << folder.ErrorOutput.toStdString();
    EXPECT_EQ(folder.RecordCount(), 120);
  }
  EXPECT_EQ(server.Sql("SELECT COUNT(*), MIN(site) = MAX(site) FROM records", db).trimmed(), "120|t");
  EXPECT_EQ(server.Sql("SELECT outcome FROM visits ORDER BY id", db).trimmed().split('\n'),
            (QStringList{"done", "done", "done", "done"}));
}

}  // namespace
