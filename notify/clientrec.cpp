/* notify/clientrec.cpp: reading Connect and Quit records. */
#include "clientrec.h"

#include "../common/textutil.h"

#include <string.h>

/* Copies a fixed-width field into a text that is always terminated, so a
   field that fills its width is read within it. */
static void FieldText(char *text, const char *field, size_t width)
{
    memcpy(text, field, width);
    text[width] = '\0';
}

static int FieldValue(const char *field, size_t width)
{
    char text[8];
    FieldText(text, field, width);
    return DecimalValue(text);
}

int ClientRecordSize(char first)
{
    if (first == 'C')
        return (int)sizeof(ClientCrec);
    if (first == 'Q')
        return (int)sizeof(ClientQrec);
    return 1;
}

/* The text that ends a record: a Connect's name, a Quit's node. */
static int LastFieldAt(char first)
{
    return first == 'C' ? (int)offsetof(ClientCrec, sName) : (int)offsetof(ClientQrec, sNode);
}

int bClientRecordComplete(const char *bytes, int len)
{
    int size = ClientRecordSize(bytes[0]);
    if (len >= size)
        return 1;
    for (int i = LastFieldAt(bytes[0]); i < len; i++) {
        if (bytes[i] == '\0')
            return 1;
    }
    return 0;
}

void ReadClientRecord(const char *bytes, int len, ClientRecord *record)
{
    ClientCrec rec;
    memset(&rec, 0, sizeof(rec));
    memcpy(&rec, bytes, len < (int)sizeof(rec) ? (size_t)len : sizeof(rec));

    memset(record, 0, sizeof(*record));
    record->kind = rec.sKind[0] == 'C'   ? CLIENT_CONNECT
                   : rec.sKind[0] == 'Q' ? CLIENT_QUIT
                                         : CLIENT_UNKNOWN;
    if (record->kind == CLIENT_UNKNOWN)
        return;
    FieldText(record->sNodeText, rec.sNode, sizeof(rec.sNode));
    record->iNode = DecimalValue(record->sNodeText);
    if (record->kind == CLIENT_QUIT)
        return;
    record->iRemotePort = FieldValue(rec.sRemotePort, sizeof(rec.sRemotePort));
    record->iLocalPort = FieldValue(rec.sLocalPort, sizeof(rec.sLocalPort));
    FieldText(record->sName, rec.sName, sizeof(rec.sName));
}
