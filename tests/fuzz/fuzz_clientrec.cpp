/* tests/fuzz/fuzz_clientrec.cpp: arbitrary bytes as a stream of notification
   records, each read as a handler reads it and applied to the node table.
   A plain model of the table, kept beside it, must agree with it after every
   record, and no record may write outside the table. */
#include "fuzzcheck.h"

#include "../../ident/nodetable.h"
#include "../../notify/clientrec.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct ModelEntry {
    bool bInUse;
    int iRemote, iLocal;
    std::string sName;
};

/* A field's text: its bytes up to the first NUL, never past its width; bytes
   the peer did not send read as NUL. */
static std::string FieldOf(const std::vector<char> &rec, size_t offset, size_t width)
{
    std::string text;
    for (size_t k = offset; k < offset + width && k < rec.size() && rec[k] != '\0'; k++)
        text += rec[k];
    return text;
}

static void CheckField(const std::string &text, int value)
{
    int want;
    if (LibcDecimal(text.c_str(), &want))
        FUZZ_CHECK(value == want);
}

static void CompareTable(const std::vector<ModelEntry> &model)
{
    for (int node = 0; node < NODE_COUNT; node++) {
        NodeEntry entry;
        FUZZ_CHECK(GetNodeRec(node, &entry) == 0);
        FUZZ_CHECK(memchr(entry.sName, '\0', NODE_NAME_SIZE) != nullptr);
        const ModelEntry &m = model[node];
        FUZZ_CHECK(entry.bInUse == (m.bInUse ? 1 : 0));
        if (!m.bInUse) {
            FUZZ_CHECK(entry.sName[0] == '\0' && entry.iLocalPort == 0 && entry.iRemotePort == 0);
            continue;
        }
        FUZZ_CHECK(entry.iRemotePort == m.iRemote && entry.iLocalPort == m.iLocal);
        FUZZ_CHECK(m.sName.compare(0, NODE_NAME_SIZE - 1, entry.sName) == 0);
        /* The lookup a query makes finds this node, the pair's one holder. */
        char name[NODE_NAME_SIZE];
        FUZZ_CHECK(FindNodeRec(m.iLocal, m.iRemote, 0, name) == node);
        FUZZ_CHECK(strcmp(name, entry.sName) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InitNodeRec();
    std::vector<ModelEntry> model(NODE_COUNT, ModelEntry{false, 0, 0, ""});
    size_t at = 0;
    while (at < size) {
        /* One receive's worth: the size its first byte announces, or less at
           the end of the input; held at its exact size on the heap. */
        size_t want = (size_t)ClientRecordSize((char)data[at]);
        size_t len = size - at < want ? size - at : want;
        std::vector<char> rec(data + at, data + at + len);
        at += len;

        ClientRecord record;
        ReadClientRecord(rec.data(), (int)rec.size(), &record);
        char kind = rec[0];
        FUZZ_CHECK(record.kind == (kind == 'C'   ? CLIENT_CONNECT
                                   : kind == 'Q' ? CLIENT_QUIT
                                                 : CLIENT_UNKNOWN));
        if (record.kind == CLIENT_UNKNOWN)
            continue;
        std::string nodeText = FieldOf(rec, 4, 5);
        FUZZ_CHECK(nodeText == record.sNodeText);
        CheckField(nodeText, record.iNode);
        bool bInTable = record.iNode >= 0 && record.iNode < NODE_COUNT;
        if (record.kind == CLIENT_QUIT) {
            FUZZ_CHECK(ClearNodeRec(record.iNode) == (bInTable ? 0 : -1));
            if (bInTable)
                model[record.iNode] = ModelEntry{false, 0, 0, ""};
        } else {
            CheckField(FieldOf(rec, 9, 6), record.iRemotePort);
            CheckField(FieldOf(rec, 15, 6), record.iLocalPort);
            std::string name = FieldOf(rec, 21, 129);
            FUZZ_CHECK(name == record.sName);
            int freed = -2;
            FUZZ_CHECK(SetNodeRec(record.iNode, record.iRemotePort, record.iLocalPort, record.sName,
                                  &freed) == (bInTable ? 0 : -1));
            /* A pair has one holder: the newest. */
            int lost = -1;
            for (int n = 0; n < NODE_COUNT && bInTable; n++)
                if (n != record.iNode && model[n].bInUse &&
                    model[n].iRemote == record.iRemotePort && model[n].iLocal == record.iLocalPort)
                    model[lost = n] = ModelEntry{false, 0, 0, ""};
            FUZZ_CHECK(freed == lost);
            if (bInTable)
                model[record.iNode] = ModelEntry{true, record.iRemotePort, record.iLocalPort, name};
        }
        CompareTable(model);
    }
    CompareTable(model);
    return 0;
}
