/* tests/support/records.cpp: notification records as Palaver lays them out. */
#include "testsupport.h"

#include "../../notify/clientrec.h"

#include <string.h>

/* Fills a field as a sender does, but lets a text fill the whole width
   without a NUL when it is that long. */
static void PutField(char *field, size_t width, const char *text)
{
    size_t n = strlen(text);
    memcpy(field, text, n < width ? n : width);
}

std::string MakeConnect(const char *node, const char *remote, const char *local, const char *name)
{
    ClientCrec rec;
    memset(&rec, 0, sizeof(rec));
    rec.sKind[0] = 'C';
    PutField(rec.sNode, sizeof(rec.sNode), node);
    PutField(rec.sRemotePort, sizeof(rec.sRemotePort), remote);
    PutField(rec.sLocalPort, sizeof(rec.sLocalPort), local);
    PutField(rec.sName, sizeof(rec.sName), name);
    return std::string((const char *)&rec, sizeof(rec));
}

std::string MakeQuit(const char *node)
{
    ClientQrec rec;
    memset(&rec, 0, sizeof(rec));
    rec.sKind[0] = 'Q';
    PutField(rec.sNode, sizeof(rec.sNode), node);
    return std::string((const char *)&rec, sizeof(rec));
}
