#!/usr/bin/python3
"""Independent reader for the table tests: prints a DBF file as dbfread sees it.

Output: a line "<header record count> <live records> <deleted records>", a line
of field names separated by tabs, then one line per live record with its values
separated by tabs (None as an empty value).
"""
import sys

from dbfread import DBF

table = DBF(sys.argv[1], load=True, char_decode_errors="strict")
print(table.header.numrecords, len(table.records), len(table.deleted))
print("\t".join(table.field_names))
for record in table.records:
    print("\t".join("" if value is None else str(value) for value in record.values()))
