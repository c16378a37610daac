#!/usr/bin/python3
"""dbftool end to end, against independent readers and writers.

    dbftool_test.py SCENARIO DBFTOOL WH_SAMPLE DBMIGRATE SOURCE_DIR

Scenarios:
  oracle       random tables written by python3-dbf (FoxPro 2 and 3.0 layouts,
               code pages 437 and 1252, nulls, memos, deleted records): check
               finds them sound, and every dump (CSV, JSON lines, --deleted,
               --columns, --limit, --where) read back equals python3-dbfread
  migrated     every table dbmigrate writes, and the compound index samples:
               sound, and their dumps equal python3-dbfread
  damage       one damaged copy per kind of damage (data, memo and index
               files): check names it, exits 1 and changes nothing
  maintenance  pack and compress-memo keep exactly the live records and memos
  indexes      index, reindex, info and dump --tag on tables with tags: the
               files pass the independent checker (tests/oracles/cdxcheck.py),
               dump --tag follows the key order, refused tags change nothing
  usage        --help, exit status 2 for wrong command lines
  progress     progress on a terminal only

Exit status 0 when every check holds; each failed check is printed.
"""
import csv
import datetime
import decimal
import io
import json
import os
import pty
import random
import shutil
import struct
import subprocess
import sys
import tempfile

FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message)
    return condition


def run(tool, *args, cwd=None, expect=0):
    result = subprocess.run([tool, *args], capture_output=True, cwd=cwd)
    check(result.returncode == expect, "dbftool %s: exit %d, expected %d; stderr %r" %
          (" ".join(args), result.returncode, expect, result.stderr[-500:]))
    return result


# --- the oracle: python3-dbfread, normalised to what dbftool writes -----------

ENCODINGS = {0: "cp1252", 1: "cp437", 3: "cp1252"}


def read_oracle(path):
    """(columns, live rows, deleted rows) as python3-dbfread reads them; a
    column whose _NullFlags bit is set is None (dbfread leaves nulls alone)."""
    import dbfread
    raw = open(path, "rb").read()
    encoding = ENCODINGS.get(raw[29], "cp1252")
    table = dbfread.DBF(path, encoding=encoding, char_decode_errors="strict")
    fields = [f for f in table.fields if f.type != "0"]
    flags_field = [f.name for f in table.fields if f.type == "0"]
    nullable = [name for name, kind, flags in descriptors(raw) if raw[0] == 0x30 and kind != "0" and flags & 0x02]

    def rows(records):
        out = []
        for record in records:
            flags = record[flags_field[0]] if flags_field else b""
            row = {}
            for f in fields:
                value = record[f.name]
                if f.name in nullable:
                    bit = nullable.index(f.name)
                    if flags[bit // 8] >> (bit % 8) & 1:
                        value = None
                row[f.name] = value
            out.append(row)
        return out

    return [f.name for f in fields], [f.type for f in fields], rows(table), rows(table.deleted)


def descriptors(raw):
    """(name, type, flags) of each column descriptor."""
    out, at = [], 32
    while raw[at] != 0x0D:
        out.append((raw[at:at + 11].split(b"\0")[0].decode("latin-1"), chr(raw[at + 11]), raw[at + 18]))
        at += 32
    return out


def same_value(ours, theirs, kind, csv_text):
    """Compares one field of dbftool's output with dbfread's value."""
    if theirs is None or theirs == "" and kind in "CM":
        return ours in (None, "") if csv_text or kind == "C" else ours is None
    if isinstance(theirs, bool):
        return ours == (("true" if theirs else "false") if csv_text else theirs)
    if isinstance(theirs, datetime.datetime):
        if ours is None:
            return False
        got = datetime.datetime.fromisoformat(ours)
        return abs((got - theirs).total_seconds()) < 0.002
    if isinstance(theirs, datetime.date):
        return ours == theirs.isoformat()
    if isinstance(theirs, (int, float, decimal.Decimal)):
        try:
            return decimal.Decimal(str(ours)) == decimal.Decimal(str(theirs))
        except decimal.InvalidOperation:
            return False
    if isinstance(theirs, bytes):  # binary memo
        import base64
        return ours == base64.b64encode(theirs).decode()
    return ours == theirs


def parse_dump(text, fmt):
    if fmt == "json":
        return [json.loads(line, parse_float=decimal.Decimal) for line in text.splitlines()]
    rows = list(csv.reader(io.StringIO(text, newline="")))
    header = rows[0]
    return [dict(zip(header, r)) for r in rows[1:]]


def compare_rows(label, ours, theirs, names, kinds, fmt):
    if not check(len(ours) == len(theirs), "%s: %d records, dbfread %d" % (label, len(ours), len(theirs))):
        return
    for n, (a, b) in enumerate(zip(ours, theirs)):
        check(list(a) == names, "%s: record %d has fields %r, not %r" % (label, n, list(a), names))
        for name in names:
            kind = kinds[names.index(name)]
            if not same_value(a.get(name), b[name], kind, fmt == "csv"):
                check(False, "%s: record %d %s: dbftool %r, dbfread %r" % (label, n, name, a.get(name), b[name]))
                return


def dump(tool, path, fmt, *options, cwd=None):
    result = run(tool, "dump", path, "--format", fmt, *options, cwd=cwd)
    check(result.stderr == b"", "dump %s: stderr %r" % (path, result.stderr))
    return parse_dump(result.stdout.decode("utf-8"), fmt)


def compare_dumps(tool, path, label):
    names, kinds, live, deleted = read_oracle(path)
    for fmt in ("csv", "json"):
        compare_rows("%s %s" % (label, fmt), dump(tool, path, fmt), live, names, kinds, fmt)
    both = dump(tool, path, "json", "--deleted")
    kept = [{k: v for k, v in r.items() if k != "_DELETED"} for r in both if r["_DELETED"] is False]
    gone = [{k: v for k, v in r.items() if k != "_DELETED"} for r in both if r["_DELETED"] is True]
    compare_rows(label + " --deleted live", kept, live, names, kinds, "json")
    compare_rows(label + " --deleted deleted", gone, deleted, names, kinds, "json")
    return names, kinds, live


def check_sound(tool, path, label):
    before = snapshot(path)
    result = run(tool, "check", path)
    lines = result.stdout.decode().splitlines()
    check(len(lines) == 1 and ": ok" in lines[0], "%s: check says %r" % (label, lines))
    check(result.stderr == b"", "%s: check stderr %r" % (label, result.stderr))
    check(snapshot(path) == before, "%s: check changed the files" % label)


def snapshot(path):
    """The bytes of a table's files."""
    base = os.path.splitext(path)[0]
    return {ext: open(base + ext, "rb").read() for ext in (".DBF", ".FPT", ".CDX")
            if os.path.exists(base + ext)}


# --- the independent index checker -------------------------------------------

ORACLES = None  # tests/oracles of the source tree, set by main


def cdxcheck(cdx, dbf=None):
    """(exit status, output) of tests/oracles/cdxcheck.py on |cdx|."""
    args = ["/usr/bin/python3", os.path.join(ORACLES, "cdxcheck.py")] + (["--dbf", dbf] if dbf else []) + [cdx]
    result = subprocess.run(args, capture_output=True)
    return result.returncode, result.stdout.decode("latin-1")


def validate(cdx):
    """The checker's reading of |cdx| (tags, their levels and keys)."""
    import contextlib
    if ORACLES not in sys.path:
        sys.path.insert(0, ORACLES)
    import cdxcheck as oracle
    report = oracle.Report(0)
    with contextlib.redirect_stdout(io.StringIO()):
        validator = oracle.Validator(cdx, report)
        validator.run()
    return validator


# --- tables written by python3-dbf -------------------------------------------

ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ,;\"'éüÄñß£"


def random_text(rng, longest, line_breaks=False):
    text = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, longest)))
    if line_breaks and text and rng.random() < 0.5:
        text += "\r\n" + text[: len(text) // 2]
    return text


LAYOUTS = {
    # name: (python3-dbf type, field list)
    "fp": ("fp", "name C(30); num N(10,2); cnt N(6,0); ratio F(12,4); born D; flag L; note M"),
    "vfp": ("vfp", "name C(30) null; born D null; note M null; num N(10,2); flag L; hits I; "
                   "price Y; weight B; seen T"),
    "db3": ("db3", "name C(20); num N(8,2); born D; flag L"),
}


def random_row(rng, layout):
    name = random_text(rng, 30).rstrip()
    num = rng.choice([None, round(rng.uniform(-9999, 9999), 2)])
    born = rng.choice([None, datetime.date(rng.randint(1900, 2099), rng.randint(1, 12), rng.randint(1, 28))])
    flag = rng.choice([True, False, None])
    note = random_text(rng, 700, line_breaks=True)
    if layout == "fp":
        return (name, num, rng.randint(-9999, 99999), round(rng.uniform(-99, 99), 4), born, flag, note)
    if layout == "db3":
        return (name[:20].rstrip(), num, born, flag)
    import dbf
    null = lambda v: dbf.Null if rng.random() < 0.2 else v
    return (null(name), null(born), null(note), num, bool(flag), rng.randint(-2**31, 2**31 - 1),
            decimal.Decimal(rng.randint(-10**9, 10**9)) / 10000, rng.uniform(-1e6, 1e6),
            datetime.datetime(2001, 2, 3, rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)))


def write_table(path, layout, codepage, rows, deleted):
    import dbf
    kind, fields = LAYOUTS[layout]
    table = dbf.Table(path, fields, dbf_type=kind, codepage=codepage)
    table.open(dbf.READ_WRITE)
    for row in rows:
        table.append(row)
    for n in deleted:
        dbf.delete(table[n])
    table.close()
    if layout == "vfp":
        # python3-dbf leaves the memo flag of the FoxPro 3.0 header clear;
        # FoxPro sets it, and without it no reader opens the memo file.
        with open(path, "r+b") as f:
            f.seek(28)
            flags = f.read(1)[0]
            f.seek(28)
            f.write(bytes([flags | 0x02]))


def make_random_table(work, layout, codepage, seed, records=120):
    rng = random.Random(seed)
    rows = [random_row(rng, layout) for _ in range(records)]
    first = list(rows[0])
    first[0] = "Müller"
    rows[0] = tuple(first)
    deleted = sorted(rng.sample(range(records), records // 7))
    path = os.path.join(work, "R%s%d.DBF" % (layout.upper(), seed))
    write_table(path, layout, codepage, rows, deleted)
    return path


def scenario_oracle(tool, work, **_):
    for seed, (layout, codepage) in enumerate([("fp", "cp437"), ("fp", "cp1252"), ("vfp", "cp1252"),
                                               ("vfp", "cp437"), ("db3", "cp1252")]):
        path = make_random_table(work, layout, codepage, seed)
        label = os.path.basename(path)
        check_sound(tool, path, label)
        names, kinds, live = compare_dumps(tool, path, label)

        subset = [names[2], names[0]]
        for fmt in ("csv", "json"):
            got = dump(tool, path, fmt, "--columns", " %s , %s" % (subset[0].lower(), subset[1]))
            compare_rows(label + " --columns", got, [{k: r[k] for k in subset} for r in live],
                         subset, [kinds[2], kinds[0]], fmt)
        compare_rows(label + " --limit", dump(tool, path, "json", "--limit", "5"), live[:5], names, kinds, "json")
        check(dump(tool, path, "csv", "--limit", "0") == [], label + " --limit 0 wrote records")

        wanted = [r for r in live if (r["NUM"] or 0) > 100]
        compare_rows(label + " --where", dump(tool, path, "json", "--where", "NUM > 100"), wanted,
                     names, kinds, "json")
        # The condition is converted to the table's code page before it
        # compares with the table's bytes.
        wanted = [r for r in live if (r["NAME"] or "").startswith("Mü")]
        got = dump(tool, path, "json", "--where", "NAME = 'Mü'")
        check(len(wanted) >= 1, label + ": no record named Mü...")
        compare_rows(label + " --where text", got, wanted, names, kinds, "json")

    # A code page mark dbftool does not know: Windows-1252 and a warning.
    path = make_random_table(work, "fp", "cp1252", 9, records=10)
    with open(path, "r+b") as f:
        f.seek(29)
        f.write(b"\xc8")
    result = run(tool, "dump", path, "--format", "json")
    check(b"warning" in result.stderr and b"0xC8" in result.stderr, "no warning for mark 0xC8: %r" % result.stderr)
    with open(path, "r+b") as f:
        f.seek(29)
        f.write(b"\x03")
    theirs = read_oracle(path)
    compare_rows("mark 0xC8", parse_dump(result.stdout.decode(), "json"), theirs[2], theirs[0], theirs[1], "json")


# --- dbmigrate's tables and the samples -------------------------------------

def migrated_directory(work, sample, dbmigrate):
    directory = os.path.join(work, "old")
    subprocess.run([sample, "--messages", "300", directory], check=True, capture_output=True)
    subprocess.run([dbmigrate, directory], check=True, capture_output=True)
    return directory


def scenario_migrated(tool, work, sample, dbmigrate, source):
    directory = migrated_directory(work, sample, dbmigrate)
    tables = sorted(f for f in os.listdir(directory) if f.endswith(".DBF"))
    check(len(tables) == 7, "dbmigrate wrote %r" % tables)
    for leaf in tables:
        path = os.path.join(directory, leaf)
        check_sound(tool, path, leaf)
        compare_dumps(tool, path, leaf)
        # The table is named without .DBF and in any case, from its directory.
        got = run(tool, "info", leaf[:-4].lower(), cwd=directory)
        check(b"Problems" not in got.stdout and b"Columns" in got.stdout, "info %s: %r" % (leaf, got.stdout))
    samples = os.path.join(source, "tests", "index", "samples")
    for leaf in sorted(os.listdir(samples)):
        if leaf.endswith((".dbf", ".fpt", ".cdx")):
            shutil.copy(os.path.join(samples, leaf), os.path.join(work, leaf.upper()))
    for leaf in sorted(f for f in os.listdir(work) if f.endswith(".DBF")):
        path = os.path.join(work, leaf)
        check_sound(tool, path, leaf)
        compare_dumps(tool, path, leaf)
        compare_tag_orders(tool, path, leaf)


def compare_tag_orders(tool, path, label):
    """dump --tag of every tag lists the records in the order of the records
    the independent checker finds in that tag."""
    every = dump(tool, path, "json", "--deleted")
    cdx = path[:-4] + ".CDX"
    validator = validate(cdx)
    single = "(single)" in validator.tagdata
    for name, data in validator.tagdata.items():
        tag = os.path.basename(path)[:-4] if single else name
        got = dump(tool, path, "json", "--deleted", "--tag", tag)
        expected = [every[rec - 1] for _, rec in data["keys"]]
        if data["info"]["desc"] == 1:
            expected.reverse()
        check(got == expected, "%s --tag %s: %d records in another order than the tag's %d"
              % (label, tag, len(got), len(expected)))


# --- damage -------------------------------------------------------------------

def u16(b, at):
    return struct.unpack_from("<H", b, at)[0]


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def descriptor(b, name):
    """Offset of the descriptor of column |name|."""
    names = [n for n, _, _ in descriptors(b)]
    return 32 + 32 * names.index(name)


def record(b, n):
    return u16(b, 8) + (n - 1) * u16(b, 10)


def field(b, n, name):
    """Where column |name| of record |n| starts (from the lengths: dBASE files
    need not record the offsets)."""
    offset = 1
    for at in range(32, descriptor(b, name), 32):
        offset += u16(b, at + 16) if b[at + 11] == ord("C") else b[at + 16]
    return record(b, n) + offset


def memo_records(b, name):
    """Record numbers whose memo column |name| refers to a memo (FoxPro 3.0)."""
    return [n for n in range(1, u32(b, 4) + 1) if u32(b, field(b, n, name)) != 0]


def damages(userbase, foxpro2, nullable):
    """(label, base table, change of the .DBF, change of the .FPT, expected text)."""
    def dbf(change):
        return lambda d, m: (change(d) or d, m)

    def fpt(change):
        return lambda d, m: (d, change(d, m) or m)

    def put32(b, at, v):
        struct.pack_into("<I", b, at, v)

    def refs(d):
        return memo_records(d, "FULLNAME")

    return [
        ("count beyond the file", userbase, dbf(lambda d: put32(d, 4, u32(d, 4) + 2)), "the header counts"),
        ("bytes after the records", userbase, dbf(lambda d: d.extend(b"garbage")), "bytes after the last"),
        ("header length beyond the file", userbase, dbf(lambda d: struct.pack_into("<H", d, 8, 0xFFF0)),
         "header length"),
        ("record length", userbase, dbf(lambda d: struct.pack_into("<H", d, 10, u16(d, 10) + 1)), "record length"),
        ("deletion flag", userbase, dbf(lambda d: d.__setitem__(record(d, 3), ord("X"))), "deletion flag"),
        ("column type", userbase, dbf(lambda d: d.__setitem__(descriptor(d, "PASSWD") + 11, ord("P"))),
         "does not read"),
        ("column names", userbase, dbf(lambda d: d.__setitem__(slice(descriptor(d, "PASSWD"), descriptor(d, "PASSWD") + 11),
                                                              b"USER" + b"\0" * 7)), "both named"),
        ("column offset", userbase, dbf(lambda d: put32(d, descriptor(d, "PASSWD") + 12, 3)), "starts at byte"),
        ("descriptor end mark", userbase, dbf(lambda d: d.__setitem__(u16(d, 8) - 264, 0x20)), "end mark"),
        ("version byte", userbase, dbf(lambda d: d.__setitem__(0, 0x42)), "version byte"),
        ("memo flag", userbase, dbf(lambda d: d.__setitem__(28, 0)), "names no memo file"),
        ("memo beyond the file", userbase,
         dbf(lambda d: put32(d, field(d, refs(d)[1], "FULLNAME"), 100000)), "beyond the end"),
        ("overlapping memos", userbase,
         dbf(lambda d: put32(d, field(d, refs(d)[2], "FULLNAME"), u32(d, field(d, refs(d)[0], "FULLNAME")))),
         "shares blocks"),
        ("memo in the header", foxpro2, dbf(lambda d: d.__setitem__(slice(field(d, 1, "NOTE"), field(d, 1, "NOTE") + 10),
                                                                   b"         1")), "memo file's header"),
        ("memo length", userbase,
         fpt(lambda d, m: struct.pack_into(">I", m, u32(d, field(d, refs(d)[0], "FULLNAME")) * 512 + 4, 10**8)),
         "claims"),
        ("next free block", userbase, fpt(lambda d, m: struct.pack_into(">I", m, 0, 3)), "next free block"),
        ("block size 0", userbase, fpt(lambda d, m: struct.pack_into(">H", m, 6, 0)), "block size is 0"),
        ("memo file missing", userbase, lambda d, m: (d, None), "missing"),
        ("memo reference text", foxpro2,
         dbf(lambda d: d.__setitem__(slice(field(d, 1, "NOTE"), field(d, 1, "NOTE") + 10), b"  12x4    ")),
         "not a block number"),
        ("stray _NullFlags bit", nullable, dbf(lambda d: d.__setitem__(field(d, 2, "_NULLFLAGS"), 0x80)),
         "_NullFlags sets bit"),
        ("nullable without _NullFlags", userbase,
         dbf(lambda d: d.__setitem__(descriptor(d, "PASSWD") + 18, 0x02)), "no _NullFlags column"),
    ]


def index_damages(bag):
    """(label, base table, change of the .DBF and .CDX, expected text) for a
    MessageBag with the tags USER (RECPUSER), SIZE (FILESIZE) and BIG
    (RECPUSER FOR FILESIZE > 500)."""
    data = bytearray(open(bag, "rb").read())
    user = validate(bag[:-4] + ".CDX").tagdata["USER"]
    root, leaves = user["levels"][0][0][0], user["levels"][-1]
    values = [bytes(data[field(data, n, "RECPUSER"):field(data, n, "RECPUSER") + 64]) for n in range(1, 6)]
    other = next(n for n in range(2, 6) if values[n - 1] != values[0])
    big = next(n for n in range(1, u32(data, 4) + 1)
               if int(data[field(data, n, "FILESIZE"):field(data, n, "FILESIZE") + 11]) > 500)

    def swap_users(d, c):
        a, b = field(d, 1, "RECPUSER"), field(d, other, "RECPUSER")
        d[a:a + 64], d[b:b + 64] = d[b:b + 64], d[a:a + 64]

    def append_record(d, c):
        count, length = u32(d, 4), u16(d, 10)
        end = record(d, count + 1)
        d[end:] = d[record(d, 1):record(d, 1) + length] + b"\x1a"
        struct.pack_into("<I", d, 4, count + 1)

    def shrink(d, c):
        at = field(d, big, "FILESIZE")
        d[at:at + 11] = b"%11d" % 100

    def free_cycle(d, c):
        node = len(c)
        c.extend(struct.pack("<i", node) + bytes(508))
        struct.pack_into("<i", c, 4, node)

    def chain(d, c):
        struct.pack_into("<i", c, leaves[0][0] + 8, -1)

    def interior(d, c):
        c[root + 12] ^= 0x01

    return [
        ("swapped keys", lambda d, c: swap_users(d, c), "which is not its own key"),
        ("record missing from a tag", append_record, "is missing"),
        ("FOR expression false", shrink, "FOR expression (FILESIZE > 500) is false"),
        ("broken sibling chain", chain, "right sibling"),
        ("free-list cycle", free_cycle, "cycle"),
        ("bad interior key", interior, "the last key below it"),
        ("index file missing", None, "is missing; the table cannot be opened"),
    ]


def indexed_messagebag(tool, directory):
    bag = os.path.join(directory, "MESSAGEBAG.DBF")
    for name, expression, *options in (("USER", "RECPUSER"), ("SIZE", "FILESIZE"),
                                       ("BIG", "RECPUSER", "--for", "FILESIZE > 500")):
        run(tool, "index", bag, "--tag", name, "--expr", expression, *options)
    return bag


def put_files(copy, files):
    """Writes |files| (extension: bytes) as the table |copy|; a memo or index
    file of an earlier copy that |files| lacks is removed."""
    for ext in (".FPT", ".CDX"):
        if os.path.exists(copy[:-4] + ext):
            os.remove(copy[:-4] + ext)
    for ext, b in files.items():
        open(copy[:-4] + ext, "wb").write(b)


def check_finds(tool, copy, label, expected):
    """check on the damaged table |copy| names |expected|, counts the problems
    and changes no file."""
    before = snapshot(copy)
    result = run(tool, "check", copy, expect=1)
    lines = result.stdout.decode().splitlines()
    check(any(expected in line for line in lines[:-1]), "%s: %r not in %r" % (label, expected, lines))
    check(lines and "problem" in lines[-1], "%s: summary %r" % (label, lines[-1:]))
    check(snapshot(copy) == before, "%s: check changed the files" % label)
    check(result.stderr == b"", "%s: check stderr %r" % (label, result.stderr))


def scenario_damage(tool, work, sample, dbmigrate, **_):
    directory = migrated_directory(work, sample, dbmigrate)
    userbase = os.path.join(directory, "USERBASE.DBF")
    bag = indexed_messagebag(tool, directory)
    check_sound(tool, bag, "MESSAGEBAG with tags")
    for label, change, expected in index_damages(bag):
        files = {ext: bytearray(b) for ext, b in snapshot(bag).items()}
        copy = os.path.join(work, "INDEXED.DBF")
        if change is not None:
            change(files[".DBF"], files[".CDX"])
        else:
            del files[".CDX"]
        put_files(copy, files)
        check_finds(tool, copy, label, expected)
        if change is not None and label not in ("swapped keys", "record missing from a tag",
                                                "FOR expression false"):
            check(cdxcheck(copy[:-4] + ".CDX")[0] == 1, "%s: the checker finds the index sound" % label)

    foxpro2 = make_random_table(work, "fp", "cp1252", 21, records=20)
    nullable = make_random_table(work, "vfp", "cp1252", 22, records=20)
    for label, base, change, expected in damages(userbase, foxpro2, nullable):
        copy = os.path.join(work, "DAMAGED.DBF")
        data, memo = change(bytearray(open(base, "rb").read()), bytearray(open(base[:-4] + ".FPT", "rb").read()))
        put_files(copy, {".DBF": data, **({".FPT": memo} if memo is not None else {})})
        check_finds(tool, copy, label, expected)
        if label == "memo beyond the file":  # every record written, the loss not hidden
            got = run(tool, "dump", copy, "--format", "json", expect=1)
            check(len(got.stdout.splitlines()) == u32(data, 4) and b"could not be read" in got.stderr,
                  "dump with an unreadable memo: %r" % got.stderr)

    # Many problems: the first N are shown, all are counted.
    data = bytearray(open(foxpro2, "rb").read())
    for n in range(1, 21):
        data[record(data, n)] = ord("?")
    copy = os.path.join(work, "MANY.DBF")
    open(copy, "wb").write(data)
    shutil.copy(foxpro2[:-4] + ".FPT", copy[:-4] + ".FPT")
    lines = run(tool, "check", copy, "--max-problems", "5", expect=1).stdout.decode().splitlines()
    check(len(lines) == 6 and "20 problems (the first 5 shown)" in lines[-1], "--max-problems: %r" % lines)

    # Random damage: whatever the bytes, every command ends in order, with
    # exit status 0 or 1 and no crash or sanitizer report.
    rng = random.Random(5)
    for base in (userbase, foxpro2, nullable, bag):
        pristine = snapshot(base)
        for n in range(40):
            files = {ext: bytearray(b) for ext, b in pristine.items()}
            for _ in range(rng.randint(1, 4)):
                ext = rng.choice(sorted(files))
                at = rng.randrange(min(len(files[ext]), 700) if rng.random() < 0.5 else len(files[ext]))
                files[ext][at] = rng.randrange(256)
            copy = os.path.join(work, "MUTANT.DBF")
            put_files(copy, files)
            commands = [["check", copy], ["info", copy], ["dump", copy, "--format", "json", "--deleted"]]
            if base == bag:
                commands.append(["dump", copy, "--tag", "USER"])
            for args in commands:
                result = subprocess.run([tool, *args], capture_output=True)
                usage = 2 if "--tag" in args else 1
                check(result.returncode in (0, 1, usage) and b"Sanitizer" not in result.stderr
                      and b"runtime error" not in result.stderr,
                      "%s on mutant %d of %s: exit %d, %r" % (args[0], n, os.path.basename(base),
                                                              result.returncode, result.stderr[-300:]))


# --- pack and compress-memo ---------------------------------------------------

def scenario_maintenance(tool, work, sample, dbmigrate, **_):
    directory = migrated_directory(work, sample, dbmigrate)
    userbase = os.path.join(directory, "USERBASE.DBF")
    data = bytearray(open(userbase, "rb").read())
    for n in memo_records(data, "FULLNAME")[::3]:
        data[record(data, n)] = ord("*")
    open(userbase, "wb").write(data)
    foxpro2 = make_random_table(work, "fp", "cp437", 31, records=150)
    for path in (userbase, foxpro2):
        label = os.path.basename(path)
        names, kinds, live, deleted = read_oracle(path)
        memo_before = os.path.getsize(path[:-4] + ".FPT")
        result = run(tool, "pack", path)
        check(("%d records kept, %d deleted records removed" % (len(live), len(deleted))).encode() in result.stdout,
              "%s: pack says %r" % (label, result.stdout))
        after = read_oracle(path)
        check(after[3] == [], label + ": deleted records after pack")
        check(after[2] == live, label + ": the live records changed in pack")
        check_sound(tool, path, label + " after pack")
        run(tool, "compress-memo", path)
        check(os.path.getsize(path[:-4] + ".FPT") < memo_before, label + ": compress-memo gave nothing back")
        check(read_oracle(path)[2] == live, label + ": the live records changed in compress-memo")
        check_sound(tool, path, label + " after compress-memo")
        info = run(tool, "info", path).stdout.decode()
        check(", 0 free" in info, "%s: info after compress-memo: %s" % (label, info))
    run(tool, "compress-memo", os.path.join(directory, "MAILBOX.DBF"))
    run(tool, "pack", os.path.join(work, "NOSUCH"), expect=1)

    # Equal keys in a candidate tag (damage): pack rebuilds it as reindex does
    # rather than leave it stale behind a report of success.
    bag = os.path.join(directory, "MESSAGEBAG.DBF")
    run(tool, "index", bag, "--tag", "C", "--expr", "STR(MSGID2)+STR(MSGID3)", "--candidate")
    data = bytearray(open(bag, "rb").read())
    data[record(data, 2):record(data, 3)] = data[record(data, 1):record(data, 2)]
    open(bag, "wb").write(data)
    run(tool, "pack", bag)
    lines = run(tool, "check", bag, expect=1).stdout.decode().splitlines()
    check(len(lines) == 2 and "another record holds its key" in lines[0], "pack over equal candidate keys: %r" % lines)


# --- index, reindex, info and dump --tag -------------------------------------

def tag_order(rows, key, descending=False):
    """|rows| (live records in record order) in the order of a tag on |key|."""
    order = sorted(range(len(rows)), key=lambda i: (key(rows[i]), i), reverse=descending)
    return [rows[i] for i in order]


def text_key(column, width, encoding="cp1252"):
    return lambda row: (row[column] or "").encode(encoding).ljust(width)


def scenario_indexes(tool, work, sample, dbmigrate, source):
    directory = migrated_directory(work, sample, dbmigrate)
    bag = indexed_messagebag(tool, directory)
    cdx = bag[:-4] + ".CDX"
    got = run(tool, "index", bag, "--tag", "id1", "--expr", "MSGID1", "--unique", "--descending")
    check(b"MESSAGEBAG.CDX: tag ID1 added" in got.stdout and b"the index has 4 tags" in got.stdout,
          "index: %r" % got.stdout)
    check_sound(tool, bag, "MESSAGEBAG with tags")
    status, report = cdxcheck(cdx, bag)
    check(status == 0, "the checker on MESSAGEBAG.CDX: %s" % report[-2000:])

    names, kinds, live, deleted = read_oracle(bag)
    every = live + deleted
    big = sum(1 for r in every if r["FILESIZE"] > 500)
    info = run(tool, "info", bag).stdout.decode()
    for line in ("USER       RECPUSER", "BIG        RECPUSER FOR FILESIZE > 500",
                 "64-byte character keys, ascending, machine order; %d keys" % len(every),
                 "64-byte character keys, ascending, machine order; %d keys" % big,
                 "8-byte numeric keys, unique, descending, machine order",
                 "Index file     %s (production index)" % cdx):
        check(line in info, "info lacks %r:\n%s" % (line, info))

    user = text_key("RECPUSER", 64)
    for fmt in ("csv", "json"):
        compare_rows("--tag USER " + fmt, dump(tool, bag, fmt, "--tag", "user"), tag_order(live, user),
                     names, kinds, fmt)
    compare_rows("--tag BIG", dump(tool, bag, "json", "--tag", "BIG"),
                 tag_order([r for r in live if r["FILESIZE"] > 500], user), names, kinds, "json")
    compare_rows("--tag SIZE --where", dump(tool, bag, "json", "--tag", "SIZE", "--where", "FILESIZE < 700"),
                 tag_order([r for r in live if r["FILESIZE"] < 700], lambda r: r["FILESIZE"]), names, kinds, "json")
    compare_tag_orders(tool, bag, "MESSAGEBAG")

    # A rebuild of the same records gives the same bytes.
    before = open(cdx, "rb").read()
    got = run(tool, "reindex", bag)
    check(b"MESSAGEBAG.CDX: 4 tags rebuilt from %d records" % len(every) in got.stdout, "reindex: %r" % got.stdout)
    check(open(cdx, "rb").read() == before, "reindex changed the bytes of a sound index")

    # A tag replaced keeps its place; the others stay as they were.
    got = run(tool, "index", bag, "--tag", "SIZE", "--expr", "FILESIZE", "--descending")
    check(b"tag SIZE replaced" in got.stdout and b"the index has 4 tags" in got.stdout, "replace: %r" % got.stdout)
    compare_rows("--tag SIZE descending", dump(tool, bag, "json", "--tag", "SIZE"),
                 tag_order(live, lambda r: r["FILESIZE"], descending=True), names, kinds, "json")
    check_sound(tool, bag, "MESSAGEBAG after a tag was replaced")
    check(cdxcheck(cdx, bag)[0] == 0, "the checker after a tag was replaced")

    # What cannot be made leaves everything as it was.
    before = snapshot(bag)
    for args, text in ((["--tag", "X", "--expr", "RECPUSER", "--general"], b"one collation"),
                       (["--tag", "X", "--expr", "SYSFLAG", "--candidate"], b"equal keys"),
                       (["--tag", "X", "--expr", "NOSUCH"], b"--expr"),
                       (["--tag", "X", "--expr", "RECPUSER", "--for", "FILESIZE"], b"not a logical"),
                       (["--tag", "X", "--expr", "RECPUSER + RECPUSER + RECPUSER + RECPUSER"], b"242 bytes")):
        got = run(tool, "index", bag, *args, expect=1)
        check(text in got.stderr, "index %r: %r" % (args, got.stderr))
    check(snapshot(bag) == before, "a refused tag changed the files")
    check(not os.path.exists(cdx + ".NEW"), "a scratch index was left behind")

    # A table with nulls and code page 437 gets a GENERAL index of its own.
    nullable = make_random_table(work, "vfp", "cp437", 41, records=300)
    for name, expression, *options in (("NAME", "NAME", "--general"), ("NUM", "NUM", "--general", "--for", "FLAG"),
                                       ("HITS", "HITS", "--general", "--descending"), ("BORN", "BORN", "--general")):
        run(tool, "index", nullable, "--tag", name, "--expr", expression, *options)
    check_sound(tool, nullable, "GENERAL tags over nulls")
    check(cdxcheck(nullable[:-4] + ".CDX", nullable)[0] == 0, "the checker on GENERAL tags over nulls")
    names, kinds, live, _ = read_oracle(nullable)
    compare_rows("--tag NUM", dump(tool, nullable, "json", "--tag", "num"),
                 tag_order([r for r in live if r["FLAG"]], lambda r: r["NUM"] or 0), names, kinds, "json")
    compare_rows("--tag HITS", dump(tool, nullable, "json", "--tag", "hits"),
                 tag_order(live, lambda r: r["HITS"], descending=True), names, kinds, "json")
    check(b"GENERAL" in run(tool, "info", nullable).stdout, "info of GENERAL tags")

    # Deleted records may stay in the tags; pack removes them and rebuilds.
    data = bytearray(open(bag, "rb").read())
    for n in range(1, u32(data, 4) + 1, 5):
        data[record(data, n)] = ord("*")
    open(bag, "wb").write(data)
    check_sound(tool, bag, "MESSAGEBAG with deleted records")
    names, kinds, live, deleted = read_oracle(bag)
    run(tool, "pack", bag)
    check_sound(tool, bag, "MESSAGEBAG packed")
    check(cdxcheck(cdx, bag)[0] == 0, "the checker after pack")
    compare_rows("--tag USER after pack", dump(tool, bag, "json", "--tag", "USER"), tag_order(live, user),
                 names, kinds, "json")

    # reindex repairs damaged trees.
    data = bytearray(open(cdx, "rb").read())
    leaves = validate(cdx).tagdata["USER"]["levels"][-1]
    struct.pack_into("<i", data, leaves[0][0] + 8, -1)
    open(cdx, "wb").write(data)
    run(tool, "check", bag, expect=1)
    run(tool, "reindex", bag)
    check_sound(tool, bag, "MESSAGEBAG after reindex")
    check(open(cdx, "rb").read() != data, "reindex left the damage")

    # An index that cannot be read: dump goes on in record order, after a
    # warning; tag order, reindex and index are refused.
    names, kinds, live, _ = read_oracle(bag)
    data = bytearray(open(cdx, "rb").read())
    data[14] = 0  # the directory's options
    open(cdx, "wb").write(data)
    result = run(tool, "dump", bag, "--format", "json")
    check(b"warning" in result.stderr and b"read without the index" in result.stderr,
          "dump of a table whose index is damaged: %r" % result.stderr)
    compare_rows("dump without the index", parse_dump(result.stdout.decode(), "json"), live, names, kinds, "json")
    check(b"no tag order" in run(tool, "dump", bag, "--tag", "USER", expect=1).stderr, "--tag without the index")
    check(b"cannot be opened" in run(tool, "reindex", bag, expect=1).stderr, "reindex of an unreadable index")
    check(b"cannot be read" in run(tool, "index", bag, "--tag", "X", "--expr", "MSGID2", expect=1).stderr,
          "index over an unreadable index")
    check(open(cdx, "rb").read() == data, "an unreadable index was changed")

    # Tables without an index.
    mailbox = os.path.join(directory, "MAILBOX.DBF")
    check(b"has no index; nothing to rebuild" in run(tool, "reindex", mailbox).stdout, "reindex without index")
    got = run(tool, "dump", mailbox, "--tag", "X", expect=2)
    check(b"has no index" in got.stderr, "dump --tag without index: %r" % got.stderr)


# --- the command line ---------------------------------------------------------

def scenario_usage(tool, work, sample, dbmigrate, **_):
    overview = run(tool, "--help").stdout.decode()
    for command in ("info", "dump", "check", "pack", "compress-memo", "reindex", "index"):
        check(command in overview, "--help does not list %s" % command)
        got = run(tool, command, "--help").stdout.decode()
        check(got.startswith("Usage: dbftool %s TABLE" % command), "%s --help: %r" % (command, got[:80]))
    for args in (["index", "X"], ["index", "X", "--tag", "A"], ["index", "X", "--expr", "A"],
                 ["index", "X", "--tag", "A", "--expr", "A", "--unique", "--candidate"],
                 ["index", "X", "--tag", "ELEVENCHARS", "--expr", "A"], ["index", "X", "--tag", "A B", "--expr", "A"],
                 ["index", "X", "--tag", "A", "--expr", " "], ["reindex", "X", "--tag", "A"]):
        run(tool, *args, expect=2)
    directory = migrated_directory(work, sample, dbmigrate)
    table = os.path.join(directory, "MESSAGEBAG")
    for args in ([], ["frob", table], ["dump"], ["dump", table, table], ["dump", table, "--bogus"],
                 ["dump", table, "--limit"], ["dump", table, "--limit", "-3"], ["dump", table, "--format", "xml"],
                 ["dump", table, "--deleted=1"], ["check", table, "--max-problems", "x"],
                 ["dump", table, "--columns", "MSGID1,NOSUCH"], ["dump", table, "--where", "NOSUCH = 1"],
                 ["dump", table, "--where", "MSGID1 = "], ["dump", table, "--where", "FROMNAME = 'Ω'"],
                 ["dump", table, "--tag", "MSGID"]):
        result = run(tool, *args, expect=2)
        check(result.stdout == b"" and result.stderr != b"", "%r: stdout %r stderr %r" % (args, result.stdout, result.stderr))
    check(b"has no index" in run(tool, "dump", table, "--tag", "X", expect=2).stderr, "--tag refusal")
    # Options may come before the table, and as --name=value.
    got = run(tool, "dump", "--limit=2", "--format", "json", table).stdout.decode().splitlines()
    check(len(got) == 2, "--limit=2 before the table: %r" % got)
    run(tool, "info", os.path.join(work, "NOSUCH"), expect=1)


# --- progress -----------------------------------------------------------------

def big_table(path, records):
    """A FoxPro 3.0 table of one N(5,0) column, written directly."""
    header = struct.pack("<B3BIHH16xBB2x", 0x30, 124, 1, 1, records, 32 + 32 + 1 + 263, 6, 0, 3)
    column = b"N" + b"\0" * 10 + b"N" + struct.pack("<I", 1) + bytes([5, 0, 0]) + b"\0" * 13
    body = b"".join(b" %5d" % (n % 100000) for n in range(records))
    open(path, "wb").write(header + column + b"\x0d" + b"\0" * 263 + body)


def on_terminal(tool, *args):
    """(exit status, what went to standard error) of dbftool with standard
    error on a terminal."""
    master, slave = pty.openpty()
    with open(os.devnull, "wb") as null:
        result = subprocess.run([tool, *args], stdout=null, stderr=slave)
    os.close(slave)
    seen = b""
    try:
        while True:
            chunk = os.read(master, 4096)
            if not chunk:
                break
            seen += chunk
    except OSError:
        pass
    os.close(master)
    return result.returncode, seen


def scenario_progress(tool, work, **_):
    path = os.path.join(work, "BIG.DBF")
    big_table(path, 1500000)
    check_sound(tool, path, "BIG.DBF")
    status, seen = on_terminal(tool, "dump", path)
    check(status == 0, "dump with a terminal: exit %d" % status)
    check(b"dump: " in seen and b"records (" in seen, "no progress on a terminal: %r" % seen[:200])
    quiet = subprocess.run([tool, "dump", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    check(quiet.returncode == 0 and quiet.stderr == b"", "progress without a terminal: %r" % quiet.stderr[:200])

    # A key that takes some work to make, so that check (which makes every
    # record's key as it reads the records) runs long enough to show its
    # progress.
    status, seen = on_terminal(tool, "index", path, "--tag", "N", "--expr", "STR(N, 10) + STR(N * 2, 10)")
    check(status == 0 and b"index: building 1 tag over 1,500,000 records" in seen, "index: %r" % seen[:200])
    status, seen = on_terminal(tool, "check", path)
    check(status == 0 and b"check BIG.DBF: " in seen and b"records (" in seen,
          "no progress of the check: %r" % seen[-300:])
    status, seen = on_terminal(tool, "reindex", path)
    check(status == 0 and b"reindex: rebuilding 1 tag" in seen, "reindex: %r" % seen[:200])
    quiet = subprocess.run([tool, "check", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    check(quiet.returncode == 0 and quiet.stderr == b"", "check progress without a terminal: %r" % quiet.stderr[:200])


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    scenario, tool, sample, dbmigrate, source = [sys.argv[1]] + [os.path.abspath(a) for a in sys.argv[2:]]
    global ORACLES
    ORACLES = os.path.join(source, "tests", "oracles")
    work = tempfile.mkdtemp(prefix="dbftool_test_")
    try:
        globals()["scenario_" + scenario](tool, work, sample=sample, dbmigrate=dbmigrate, source=source)
    finally:
        shutil.rmtree(work)
    if FAILURES:
        print("%d failed checks" % len(FAILURES))
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main()
