#include "RecordExport.h"

#include <QDate>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <string>

#include "Clock.h"
#include "Journal.h"
#include "LogDatabase.h"
#include "NativeStatement.h"
#include "SiteCommand.h"
#include "SiteConnection.h"
#include "Sockets.h"

namespace {

constexpr int ColumnCount = 4;
const char* const ColumnNames[ColumnCount] = {"RECTIME", "CARDNO", "READER", "MODE"};
// Rows are gathered into writes of about this size: a write per row costs more than the row.
constexpr std::size_t ChunkBytes = 1 << 16;

class TChunkedOutput {
 public:
  explicit TChunkedOutput(std::FILE* AOut) : Out(AOut) { Chunk.reserve(ChunkBytes * 2); }
  std::string& Text() { return Chunk; }
  void RowDone() {
    if (Chunk.size() >= ChunkBytes) Flush();
  }
  void Finish() {
    Flush();
    if (std::fflush(Out) != 0) Fail();
  }

 private:
  void Flush() {
    if (!Chunk.empty() && std::fwrite(Chunk.data(), 1, Chunk.size(), Out) != Chunk.size()) Fail();
    Chunk.clear();
  }
  [[noreturn]] static void Fail() { throw EOutputError(std::string("cannot write the records: ") + std::strerror(errno)); }

  std::FILE* Out;
  std::string Chunk;
};

// RFC 4180: a field with a comma, a quote or a line break goes in quotes, its quotes doubled.
void PutCsvField(std::string& Line, const char* Text, int Length) {
  const std::string_view field(Text, static_cast<std::size_t>(Length));
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    Line.append(field);
    return;
  }
  Line.push_back('"');
  for (const char c : field) {
    if (c == '"') Line.push_back('"');
    Line.push_back(c);
  }
  Line.push_back('"');
}

void PutCsvRow(std::string& Line, const TNativeStatement& Row) {
  for (int column = 0; column < ColumnCount; ++column) {
    if (column > 0) Line.push_back(',');
    if (Row.Kind(column) != TCellKind::Null) PutCsvField(Line, Row.Text(column), Row.TextLength(column));
  }
  Line.append("\r\n");
}

// Length of the valid UTF-8 sequence at Text, or 0.
int Utf8SequenceLength(const unsigned char* Text, std::size_t Left) {
  const unsigned char lead = Text[0];
  const int length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                                                       : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || static_cast<std::size_t>(length) > Left) return 0;
  for (int i = 1; i < length; ++i) {
    if ((Text[i] & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((lead == 0xE0 && Text[1] < 0xA0) || (lead == 0xED && Text[1] >= 0xA0) || (lead == 0xF0 && Text[1] < 0x90) ||
      (lead == 0xF4 && Text[1] >= 0x90)) {
    return 0;
  }
  return length;
}

// A JSON string; bytes that are no UTF-8 become U+FFFD, so every line parses.
void PutJsonString(std::string& Line, const char* Text, int Length) {
  static const char Hex[] = "0123456789abcdef";
  const auto* bytes = reinterpret_cast<const unsigned char*>(Text);
  Line.push_back('"');
  for (std::size_t i = 0, size = static_cast<std::size_t>(Length); i < size;) {
    const unsigned char c = bytes[i];
    if (c == '"' || c == '\\') {
      Line.push_back('\\');
      Line.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      Line.append("\\u00").push_back(Hex[c >> 4]);
      Line.push_back(Hex[c & 0xF]);
    } else {
      const int sequence = Utf8SequenceLength(bytes + i, size - i);
      if (sequence == 0) {
        Line.append("\\ufffd");
        ++i;
        continue;
      }
      Line.append(Text + i, static_cast<std::size_t>(sequence));
      i += static_cast<std::size_t>(sequence);
      continue;
    }
    ++i;
  }
  Line.push_back('"');
}

// SQLite writes an infinite real as "Inf", which JSON has no number for.
bool IsJsonNumber(const char* Text, int Length) {
  static const QRegularExpression Number(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?([eE][-+]?[0-9]+)?$"));
  return Number.match(QString::fromLatin1(Text, Length)).hasMatch();
}

void PutJsonRow(std::string& Line, const TNativeStatement& Row) {
  Line.push_back('{');
  for (int column = 0; column < ColumnCount; ++column) {
    if (column > 0) Line.push_back(',');
    Line.push_back('"');
    Line.append(ColumnNames[column]).append("\":");
    const TCellKind kind = Row.Kind(column);
    const char* text = Row.Text(column);
    const int length = Row.TextLength(column);
    if (kind == TCellKind::Null) {
      Line.append("null");
    } else if (kind == TCellKind::Integer || (kind == TCellKind::Real && IsJsonNumber(text, length))) {
      Line.append(text, static_cast<std::size_t>(length));
    } else {
      PutJsonString(Line, text, length);
    }
  }
  Line.append("}\n");
}

// Numbered: From is ?1, To ?2, then the reader names and the cards from ?3 on, whichever are there.
// A time typed by hand may carry more after its seconds (a space, a fraction): the upper bound
// takes in every text that begins with it, and the index still serves.
QByteArray SelectSql(const TExportRequest& Request) {
  QList<QByteArray> conditions;
  if (!Request.From.isEmpty()) conditions << "RECTIME >= ?1";
  if (!Request.To.isEmpty()) conditions << "RECTIME < ?2 || char(127)";
  int next = 3;
  const auto marks = [&next](qsizetype Count) {
    QList<QByteArray> numbered;
    for (qsizetype i = 0; i < Count; ++i) numbered << "?" + QByteArray::number(next++);
    return numbered.join(", ");
  };
  if (Request.ReaderNames) conditions << "READER IN (" + marks(Request.ReaderNames->size()) + ")";
  if (!Request.Cards.isEmpty()) conditions << "CARDNO IN (" + marks(Request.Cards.size()) + ")";
  QByteArray sql = "SELECT RECTIME, CARDNO, READER, MODE FROM records";
  if (!conditions.isEmpty()) sql += " WHERE " + conditions.join(" AND ");
  return sql + " ORDER BY RECTIME, CARDNO";
}

void BindFilters(TNativeStatement& Select, const TExportRequest& Request) {
  if (!Request.From.isEmpty()) Select.BindText(1, Request.From.toUtf8());
  if (!Request.To.isEmpty()) Select.BindText(2, Request.To.toUtf8());
  int index = 3;
  for (const QString& name : Request.ReaderNames.value_or(QStringList())) Select.BindText(index++, name.toUtf8());
  for (const qint64 card : Request.Cards) Select.BindInt64(index++, card);
}

// The READER texts that name Reader. Records keep no port: each is compared with Reader's.
QStringList NamesOf(sqlite3* Db, const TReaderAddress& Reader) {
  const TReaderAddress wanted{Reader.Address, Reader.Port.isEmpty() ? QStringLiteral("1") : Reader.Port};
  QStringList names;
  std::vector<TReaderAddress> candidates;
  TNativeStatement distinct(Db, "SELECT DISTINCT READER FROM records WHERE READER IS NOT NULL");
  while (distinct.Next()) {
    names << QString::fromUtf8(distinct.Text(0), distinct.TextLength(0));
    candidates.push_back({names.back(), wanted.Port});
  }
  const std::vector<bool> matches = SameReaderAs(wanted, candidates);
  QStringList same;
  for (qsizetype i = 0; i < names.size(); ++i) {
    if (matches[static_cast<std::size_t>(i)]) same << names.at(i);
  }
  return same;
}

// today, yesterday and -Nd, with or without a time after them, as the date they stand for.
QString AbsoluteDay(const QString& Text) {
  static const QRegularExpression DaysBefore(QStringLiteral("^-(\\d{1,4})d$"));
  const QString day = Text.section(u' ', 0, 0);
  const QRegularExpressionMatch before = DaysBefore.match(day);
  const qint64 days = day == u"today" ? 0 : day == u"yesterday" ? 1 : before.hasMatch() ? before.captured(1).toLongLong() : -1;
  if (days < 0) return Text;
  const QDate today = QDate::fromString(RecTimeText(Now()).left(10), Qt::ISODate);
  return today.addDays(-days).toString(Qt::ISODate) + Text.mid(day.size());
}

}  // namespace

std::optional<QString> ExportBound(const QString& Text, bool Upper) {
  static const QRegularExpression Form(QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?: (\\d{2}):(\\d{2})(?::(\\d{2}))?)?$"));
  const QRegularExpressionMatch match = Form.match(AbsoluteDay(Text));
  if (!match.hasMatch()) return std::nullopt;
  const auto part = [&](int Index, int Missing) { return match.captured(Index).isEmpty() ? Missing : match.captured(Index).toInt(); };
  const int hour = part(4, Upper ? 23 : 0);
  const int minute = part(5, Upper ? 59 : 0);
  const int second = part(6, Upper ? 59 : 0);
  if (!QDate(part(1, 0), part(2, 0), part(3, 0)).isValid() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return QStringLiteral("%1-%2-%3 %4:%5:%6")
      .arg(match.captured(1), match.captured(2), match.captured(3))
      .arg(hour, 2, 10, QLatin1Char('0'))
      .arg(minute, 2, 10, QLatin1Char('0'))
      .arg(second, 2, 10, QLatin1Char('0'));
}

qint64 WriteRecords(sqlite3* Db, const TExportRequest& Request, std::FILE* Out) {
  TNativeStatement begin(Db, "BEGIN");
  TNativeStatement commit(Db, "COMMIT");
  TNativeStatement rollback(Db, "ROLLBACK");
  const QByteArray sql = SelectSql(Request);
  TNativeStatement select(Db, sql.constData());
  BindFilters(select, Request);
  TChunkedOutput output(Out);
  const bool csv = Request.Format == TExportFormat::Csv;
  if (csv) output.Text().append("RECTIME,CARDNO,READER,MODE\r\n");
  qint64 rows = 0;
  begin.Run();
  try {
    for (; select.Next(); ++rows) {
      csv ? PutCsvRow(output.Text(), select) : PutJsonRow(output.Text(), select);
      output.RowDone();
    }
  } catch (...) {
    rollback.Succeeds();
    throw;
  }
  commit.Run();
  output.Finish();
  return rows;
}

int ExportRecords(const QString& DatabasePath, const TExportRequest& Request, std::FILE* Out) {
  return RunSiteTool(DatabasePath, TExitStatus::DatabaseUnusable, [&] {
    try {
      const TSiteConnection connection(DatabasePath, TAccess::Read);
      TExportRequest request = Request;
      if (request.Reader) request.ReaderNames = NamesOf(connection.Native(), *request.Reader);
      WriteRecords(connection.Native(), request, Out);
    } catch (const EOutputError& Error) {
      JournalLine(TPriority::Error, QStringLiteral("quillmere: ") + QString::fromLocal8Bit(Error.what()));
      return TExitStatus::CopyFailed;
    }
    return TExitStatus::Ok;
  });
}
