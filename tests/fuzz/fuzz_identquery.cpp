/* tests/fuzz/fuzz_identquery.cpp: arbitrary bytes through the IDENT query
   path as a handler takes them: one receive of at most 1024 bytes, cut into
   two ports, looked up in the node table, answered in one of three forms. */
#include "fuzzcheck.h"

#include "../../ident/identquery.h"
#include "../../ident/nodetable.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

/* The two ports as a person reads the query: the text before the first
   blank, then the text after it past blanks, commas and blanks; a query
   without blanks has its numbers either side of its first comma. Each piece
   is read from at most 127 characters. */
static void ExpectedPorts(const std::string &query, std::string *first, std::string *second)
{
    size_t blank = query.find(' ');
    if (blank == std::string::npos) {
        *first = query.substr(0, IDENT_WORK_MAX);
        size_t comma = query.find(',');
        *second = comma == std::string::npos ? "" : query.substr(comma + 1, IDENT_WORK_MAX);
        return;
    }
    *first = query.substr(0, blank < IDENT_WORK_MAX ? blank : IDENT_WORK_MAX);
    std::string rest = query.substr(blank, IDENT_WORK_MAX);
    size_t at = rest.find_first_not_of(' ');
    at = at == std::string::npos ? rest.size() : at;
    while (at < rest.size() && rest[at] == ',')
        at++;
    while (at < rest.size() && rest[at] == ' ')
        at++;
    *second = rest.substr(at);
}

static void CheckReply(const char *reply, int len, int first, int second, const char *tail)
{
    FUZZ_CHECK(len == (int)strlen(reply));
    FUZZ_CHECK(len <= 171);
    FUZZ_CHECK(len >= 2 && reply[len - 2] == '\r' && reply[len - 1] == '\n');
    /* Exactly one line, whatever the name held. */
    FUZZ_CHECK(strchr(reply, '\r') == reply + len - 2);
    FUZZ_CHECK(strchr(reply, '\n') == reply + len - 1);
    char prefix[64];
    int n = snprintf(prefix, sizeof(prefix), "%i,%i : ", first, second);
    FUZZ_CHECK(strncmp(reply, prefix, (size_t)n) == 0);
    FUZZ_CHECK(strncmp(reply + n, tail, strlen(tail)) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* The handler's buffer: the bytes of one receive and a terminator, on the
       heap at its exact size so that a read past it is caught. */
    size_t n = size < IDENT_QUERY_MAX ? size : IDENT_QUERY_MAX;
    std::vector<char> buffer(data, data + n);
    buffer.push_back('\0');
    const char *query = buffer.data();

    int first = 0, second = 0;
    IdentCutQuery(query, &first, &second);

    std::string firstText, secondText;
    ExpectedPorts(std::string(query), &firstText, &secondText);
    int want;
    if (LibcDecimal(firstText.c_str(), &want))
        FUZZ_CHECK(first == want);
    if (LibcDecimal(secondText.c_str(), &want))
        FUZZ_CHECK(second == want);

    /* A name taken from the query itself, with whatever bytes it holds. */
    char name[NODE_NAME_SIZE];
    size_t nameLen = strlen(query) < NODE_NAME_SIZE - 1 ? strlen(query) : NODE_NAME_SIZE - 1;
    memcpy(name, query, nameLen);
    name[nameLen] = '\0';

    /* Node 7 takes the parsed pair, node 9 the reversed one; node 255 then
       takes the parsed pair from node 7 and is the one found, with its own
       name, while the reversed pair stays node 9's. */
    InitNodeRec();
    SetNodeRec(7, second, first, name);
    if (first != second)
        SetNodeRec(9, first, second, "reversed");
    char found[NODE_NAME_SIZE];
    FUZZ_CHECK(FindNodeRec(first, second, 0, found) == 7 && strcmp(found, name) == 0);
    int freed = -1;
    SetNodeRec(255, second, first, "last", &freed);
    FUZZ_CHECK(freed == 7);
    int i = FindNodeRec(first, second, 0, found);
    FUZZ_CHECK(i == 255 && strcmp(found, "last") == 0);
    FUZZ_CHECK(FindNodeRec(first, second, i + 1, found) == -1);
    if (first != second)
        FUZZ_CHECK(FindNodeRec(second, first, 0, found) == 9);

    char reply[IDENT_REPLY_SIZE];
    IdentReplyKind kind = IdentKindForName(name);
    FUZZ_CHECK((kind == IDENT_HIDDEN_USER) == (strcmp(name, "DISABLED") == 0));
    int len = IdentFormatReply(reply, IDENT_USERID, first, second, name);
    std::string shown(name, strcspn(name, "\r\n"));
    FUZZ_CHECK((kind == IDENT_NO_USER) == shown.empty());
    CheckReply(reply, len, first, second, ("USERID : UNIX : " + shown + "\r\n").c_str());
    len = IdentFormatReply(reply, IDENT_HIDDEN_USER, first, second, name);
    CheckReply(reply, len, first, second, "ERROR : HIDDEN-USER \r\n");
    len = IdentFormatReply(reply, IDENT_NO_USER, first, second, name);
    CheckReply(reply, len, first, second, "ERROR : NO-USER \r\n");
    return 0;
}
