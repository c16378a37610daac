#!/usr/bin/python3
"""Lists the tables dbmigrate wrote in a directory, read with an independent
DBF reader (python3-dbfread): each table's columns, record count and first rows.

    tools/show-tables.py DIR [--rows N]
"""
import argparse
import os
import sys

try:
    from dbfread import DBF
except ImportError:
    sys.exit("show-tables: python3-dbfread is missing (apt-get install python3-dbfread)")

TABLES = ["UserBase", "MessageBag", "MailBox", "MailingListTitles",
          "SubscriberBase", "AliasSystem", "SPAMSystem"]


def show(path, rows):
    table = DBF(path, load=False, char_decode_errors="replace")
    fields = [f"{f.name} {f.type}({f.length})" for f in table.fields]
    records = list(table)
    print(f"{os.path.basename(path)}: {len(records)} records; " + ", ".join(fields))
    for record in records[:rows]:
        print("   " + " | ".join(repr(v).strip("'") if isinstance(v, str) else str(v)
                                 for v in record.values()))
    if len(records) > rows:
        print(f"   ... {len(records) - rows} more")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory")
    parser.add_argument("--rows", type=int, default=5)
    args = parser.parse_args()
    for name in TABLES:
        path = os.path.join(args.directory, name.upper() + ".DBF")
        if os.path.exists(path):
            show(path, args.rows)
        else:
            print(f"{name.upper()}.DBF: missing")


if __name__ == "__main__":
    main()
