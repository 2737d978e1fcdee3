// The 248 reserved words of the SQL dialect, in the order that gives their
// codes: the SQL-92 words alphabetically up to ZONE, then the dialect's own.
#include "engine/sql/reserved_words.h"

#include <unordered_map>

#include "engine/common/text.h"

namespace kestro {

const std::array<const char*, kReservedWordCount> kReservedWords = {{
    "ABSOLUTE", "ACTION", "ADD", "ALL", "ALLOCATE", "ALTER",
    "AND", "ANY", "ARE", "AS", "ASC", "ASSERTION",
    "AT", "AUTHORIZATION", "AVG", "BEGIN", "BETWEEN", "BIT",
    "BIT_LENGTH", "BOTH", "BY", "CASCADE", "CASCADED", "CASE",
    "CAST", "CATALOG", "CHAR", "CHARACTER", "CHAR_LENGTH", "CHARACTER_LENGTH",
    "CHECK", "CLOSE", "COALESCE", "COLLATE", "COLLATION", "COLUMN",
    "COMMIT", "CONNECT", "CONNECTION", "CONSTRAINT", "CONSTRAINTS", "CONTINUE",
    "CONVERT", "CORRESPONDING", "COUNT", "CREATE", "CROSS", "CURRENT",
    "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "DATE",
    "DAY", "DEALLOCATE", "DEC", "DECIMAL", "DECLARE", "DEFAULT",
    "DEFERRABLE", "DEFERRED", "DELETE", "DESC", "DESCRIBE", "DESCRIPTOR",
    "DIAGNOSTICS", "DISCONNECT", "DISTINCT", "DOMAIN", "DOUBLE", "DROP",
    "ELSE", "END", "END-EXEC", "ESCAPE", "EXCEPT", "EXCEPTION",
    "EXEC", "EXECUTE", "EXISTS", "EXTERNAL", "EXTRACT", "FALSE",
    "FETCH", "FIRST", "FLOAT", "FOR", "FOREIGN", "FOUND",
    "FROM", "FULL", "GET", "GLOBAL", "GO", "GOTO",
    "GRANT", "GROUP", "HAVING", "HOUR", "IDENTITY", "IMMEDIATE",
    "IN", "INDICATOR", "INITIALLY", "INNER", "INPUT", "INSENSITIVE",
    "INSERT", "INT", "INTEGER", "INTERSECT", "INTERVAL", "INTO",
    "IS", "ISOLATION", "JOIN", "KEY", "LANGUAGE", "LAST",
    "LEADING", "LEFT", "LEVEL", "LIKE", "LOCAL", "LOWER",
    "MATCH", "MAX", "MEMORY", "MIN", "MINUS", "MINUTE",
    "MODULE", "MONTH", "NAMES", "NATIONAL", "NATURAL", "NCHAR",
    "NEXT", "NO", "NOT", "NULL", "NULLIF", "NUMERIC",
    "OCTET_LENGTH", "OF", "ON", "ONLY", "OPEN", "OPTION",
    "OR", "ORDER", "OUTER", "OUTPUT", "OVERLAPS", "PAD",
    "PARTIAL", "POSITION", "PRECISION", "PREPARE", "PRESERVE", "PRIMARY",
    "PRIOR", "PRIVILEGES", "PROCEDURE", "PUBLIC", "READ", "REAL",
    "REFERENCES", "RELATIVE", "RESTRICT", "REVOKE", "RIGHT", "ROLLBACK",
    "ROWS", "SCHEMA", "SCROLL", "SECOND", "SECTION", "SELECT",
    "SESSION", "SESSION_USER", "SET", "SIZE", "SMALLINT", "SOME",
    "SPACE", "SQL", "SQLCODE", "SQLERROR", "SQLSTATE", "SUBSTRING",
    "SUM", "SYSTEM_USER", "TABLE", "TEMPORARY", "THEN", "TIME",
    "TIMESTAMP", "TIMEZONE_HOUR", "TIMEZONE_MINUTE", "TO", "TOP", "TRAILING",
    "TRANSACTION", "TRANSLATE", "TRANSLATION", "TRIM", "TRUE", "UNION",
    "UNIQUE", "UNKNOWN", "UPDATE", "UPPER", "USAGE", "USER",
    "USING", "VALUE", "VALUES", "VARCHAR", "VARYING", "VIEW",
    "WHEN", "WHENEVER", "WHERE", "WITH", "WORK", "WRITE",
    "YEAR", "ZONE", "PASSWORD", "BLOBCOMPRESSIONLEVEL", "BLOBBLOCKSIZE", "LASTAUTOINC",
    "MODIFY", "NEW", "INDEX", "NOCASE", "LTRIM", "RTRIM",
    "POS", "LENGTH", "SYSDATE", "NOW", "TODATE", "TOSTRING",
    "AUTOINDEXES", "NOAUTOINDEXES",
}};

uint8_t ReservedWordCode(std::string_view text) {
  // A hash of the table; the lookup is equal to a scan of it in order.
  static const std::unordered_map<std::string_view, uint8_t> index = [] {
    std::unordered_map<std::string_view, uint8_t> m;
    for (size_t k = 0; k < kReservedWords.size(); ++k) m.emplace(kReservedWords[k], uint8_t(k));
    return m;
  }();
  constexpr size_t kLongest = 20;  // CHARACTER_LENGTH, BLOBCOMPRESSIONLEVEL
  if (text.empty() || text.size() > kLongest) return kNotReservedWord;
  char upper[kLongest];
  for (size_t i = 0; i < text.size(); ++i) upper[i] = AsciiUpper(text[i]);
  const auto it = index.find(std::string_view(upper, text.size()));
  return it == index.end() ? kNotReservedWord : it->second;
}

}  // namespace kestro
