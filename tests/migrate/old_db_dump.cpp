// old-db-dump FILE TABLE...: prints every row of the named tables of an old
// database, read through the old-database component, one value a field:
// its VARIANT type and value (numbers as written, doubles and dates also as
// their 64 bits, texts as bytes in hexadecimal). The Wine tests run the
// Linux and the Windows build on the same files and compare the outputs.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "migrate/old_database.h"

static std::string valueOf(const VARIANT& v) {
  char buffer[96];
  switch (v.vt) {
    case VT_I2:
    case VT_BOOL:
      std::snprintf(buffer, sizeof buffer, "%d", v.iVal);
      return buffer;
    case VT_I4:
      std::snprintf(buffer, sizeof buffer, "%" PRId32, v.lVal);
      return buffer;
    case VT_CY:
      std::snprintf(buffer, sizeof buffer, "%" PRId64, v.cyVal);
      return buffer;
    case VT_R8:
    case VT_DATE: {
      uint64_t bits;
      std::memcpy(&bits, &v.dblVal, sizeof bits);
      SYSTEMTIME st{};
      bool date = v.vt == VT_DATE && VariantTimeToSystemTime(v.date, &st);
      std::snprintf(buffer, sizeof buffer, "%016" PRIx64 " %04d-%02d-%02d %02d:%02d:%02d", bits,
                    date ? st.wYear : 0, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
      return buffer;
    }
    case VT_BSTR: {
      std::string hex;
      for (const char* p = v.pszVal; p && *p; ++p) {
        std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(*p));
        hex += buffer;
      }
      return hex;
    }
    default:
      return "";
  }
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: old-db-dump FILE TABLE...\n");
    return 2;
  }
  CDaoDatabase db;
  try {
    db.Open(argv[1]);
  } catch (CException* e) {
    char message[512];
    e->GetErrorMessage(message, sizeof message);
    std::printf("cannot open: %s\n", message);
    e->Delete();
    return 1;
  }
  VARIANT v;
  VariantInit(&v);
  for (int t = 2; t < argc; ++t) {
    std::printf("== %s\n", argv[t]);
    CDaoRecordset rs(&db);
    try {
      rs.Open(AFX_DAO_USE_DEFAULT_TYPE, (std::string("select * from [") + argv[t] + "]").c_str());
      for (; !rs.IsEOF(); rs.MoveNext()) {
        for (int i = 0; i < rs.GetFieldCount(); ++i) {
          rs.GetFieldValue(i, v);
          std::printf("%s%d:%s", i ? "\t" : "", v.vt, valueOf(v).c_str());
        }
        std::printf("\n");
      }
    } catch (CException* e) {
      char message[512];
      e->GetErrorMessage(message, sizeof message);
      std::printf("!! %s\n", message);
      e->Delete();
    }
  }
  VariantClear(&v);
  db.Close();
  return 0;
}
