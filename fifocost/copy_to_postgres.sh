#!/usr/bin/env bash
# Copies the stock tables of an SQLite year database into an empty PostgreSQL
# database, creating them with year_postgres.sql beside this script. Lines keep
# their entry order (their id counts up in it); numbers keep every digit.
#   copy_to_postgres.sh <year database file> <psql connection string>
# e.g. copy_to_postgres.sh 2011.db "host=server dbname=year2011 user=shop"
# (psql asks for the password, or takes it from PGPASSWORD or ~/.pgpass).
set -euo pipefail
file=${1:?usage: copy_to_postgres.sh <year database file> <psql connection string>}
conn=${2:?usage: copy_to_postgres.sh <year database file> <psql connection string>}
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$file" ] || { echo "no such file: $file" >&2; exit 1; }

# A number column as text that reads back to the same double (quote() adds
# digits until it does), NULL kept NULL.
num() { printf "CASE WHEN %s IS NULL THEN NULL ELSE quote(%s) END" "$1" "$1"; }
lines="SELECT 发票号, 编号, $(num 数量), $(num 进价), $(num 销合), $(num 销数), $(num 销额), $(num 本价), \
$(num 成本), $(num 毛利), 问题 FROM 库清单 ORDER BY rowid"

psql() { command psql -X -q -v ON_ERROR_STOP=1 "$conn" "$@"; }
psql -f "$here/year_postgres.sql"
sqlite3 -bail -csv "$file" "SELECT 发票号, 日期, 类别 FROM 库单 ORDER BY rowid" |
  psql -c "\copy 库单 (发票号, 日期, 类别) FROM STDIN WITH (FORMAT csv)"
sqlite3 -bail -csv "$file" "$lines" |
  psql -c "\copy 库清单 (发票号, 编号, 数量, 进价, 销合, 销数, 销额, 本价, 成本, 毛利, 问题) FROM STDIN WITH (FORMAT csv)"
psql -c "ANALYZE 库单; ANALYZE 库清单"
echo "copied $(sqlite3 "$file" 'SELECT count(*) FROM 库清单') lines of $file"
