// Stand-ins for the table layer's isBlank and reportException.
#include "migrate/table_layer_standins.h"

#include <cstdio>

#include "migrate/old_db_exception.h"

bool standinIsBlank(const char* text) {
    if (!text) return true;
    for (; *text; ++text) {
        switch (*text) {
        case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': continue;
        default: return false;
        }
    }
    return true;
}

void standinReportException(CException* e) {
    char message[256];
    bool has = e->GetErrorMessage(message, sizeof message, nullptr);
    e->Delete();
    if (has) std::printf("%s", message);
    else std::printf("CExcpetion without information");
}
