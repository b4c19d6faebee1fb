"""Reads and writes the emulator warehouse through pyodbc, as a user would.

Usage: pyodbc_client.py CONNECTION_STRING QUERIES_FILE

QUERIES_FILE holds SQL statements separated by lines of "----" (the README's
queries). Prints one line per check, "name: value", for the test that starts
it to compare; any failure ends the program with the exception's text.
"""

import datetime
import decimal
import sys

import pyodbc


def kinds(row):
    return ",".join(type(value).__name__ for value in row)


def main():
    connection = pyodbc.connect(sys.argv[1], autocommit=True)
    cursor = connection.cursor()

    cursor.execute(
        "CREATE TABLE every_type (b BIGINT, i INT, s SMALLINT, t TINYINT, d DOUBLE,"
        " f FLOAT, flag BOOLEAN, day DATE, price DECIMAL(10,2), ts TIMESTAMP,"
        " text STRING, code VARCHAR(8), v VARIANT)")
    cursor.execute(
        "INSERT INTO every_type VALUES (9007199254740993, 7, -3, 5, 21.5D, 0.5F, true,"
        " DATE '2026-01-02', 12.50, TIMESTAMP '2026-01-01 08:00:00.000001',"
        " 'a b', 'ab', parse_json('{\"k\":[1,2]}'))")
    row = cursor.execute("SELECT * FROM every_type").fetchone()
    print("types:", kinds(row))
    print("values:", repr(tuple(row)))
    print("description:", ",".join(
        "%s/%s" % (column[0], column[1].__name__) for column in cursor.description))

    # Values bound to ? markers travel as values: quotes and semicolons stay text.
    hostile = "x'); DROP TABLE every_type; --"
    cursor.execute(
        "INSERT INTO every_type (b, d, price, ts, text, flag) VALUES (?, ?, ?, ?, ?, ?)",
        -2, float("nan"), decimal.Decimal("-0.05"),
        datetime.datetime(2026, 3, 4, 5, 6, 7, 890123), hostile, None)
    bound = cursor.execute(
        "SELECT b, d, price, ts, text, flag FROM every_type WHERE text = ? AND b < ?",
        hostile, 0).fetchall()
    print("bound:", repr([tuple(r) for r in bound]))
    print("count:", cursor.execute("SELECT count(*) FROM every_type").fetchone()[0])

    print("tables:", ",".join(sorted(r.table_name for r in cursor.tables())))
    print("columns:", ",".join(
        "%s:%s:%d" % (r.column_name, r.type_name, r.data_type)
        for r in cursor.columns(table="every_type")))
    print("show tables:", ",".join(sorted(r[1] for r in cursor.execute("SHOW TABLES"))))

    with open(sys.argv[2], encoding="utf-8") as queries:
        for number, sql in enumerate(queries.read().split("\n----\n")):
            rows = cursor.execute(sql).fetchall()
            print("query %d:" % number, repr([tuple(r) for r in rows]))


if __name__ == "__main__":
    main()
