/* Reading Connect and Quit records from received bytes. */
#include "support/testsupport.h"
#include "../notify/clientrec.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

static ClientRecord Read(const std::string &bytes)
{
    ClientRecord rec;
    ReadClientRecord(bytes.data(), (int)bytes.size(), &rec);
    return rec;
}

TEST(ClientRecord, ConnectFieldsAtTheirOffsets)
{
    ClientRecord rec = Read(MakeConnect("3", "194", "1234", "alice"));
    EXPECT_EQ(rec.kind, CLIENT_CONNECT);
    EXPECT_EQ(rec.iNode, 3);
    EXPECT_EQ(rec.iRemotePort, 194);
    EXPECT_EQ(rec.iLocalPort, 1234);
    EXPECT_STREQ(rec.sName, "alice");

    std::string raw(150, '\0');
    raw.replace(0, 4, "Cxyz");
    raw.replace(4, 3, "12");
    raw.replace(9, 5, "6667");
    raw.replace(15, 5, "4000");
    raw.replace(21, 3, "bob");
    rec = Read(raw);
    EXPECT_EQ(rec.iNode, 12);
    EXPECT_EQ(rec.iRemotePort, 6667);
    EXPECT_EQ(rec.iLocalPort, 4000);
    EXPECT_STREQ(rec.sName, "bob");
}

TEST(ClientRecord, FullFieldsAreReadWithinTheirWidth)
{
    std::string raw = "C   " + std::string("12345") + "654321" + "111111" + std::string(129, 'n');
    ClientRecord rec = Read(raw);
    EXPECT_EQ(rec.iNode, 12345);
    EXPECT_EQ(rec.iRemotePort, 654321);
    EXPECT_EQ(rec.iLocalPort, 111111);
    EXPECT_EQ(std::string(rec.sName), std::string(129, 'n'));
    /* Bytes beyond the record do not run into the name. */
    rec = Read(raw + "tail");
    EXPECT_EQ(std::string(rec.sName), std::string(129, 'n'));
}

TEST(ClientRecord, NumbersWithoutDigitsOrWithSigns)
{
    ClientRecord rec = Read(MakeConnect("x", "", "abc", "n"));
    EXPECT_EQ(rec.iNode, 0);
    EXPECT_EQ(rec.iRemotePort, 0);
    EXPECT_EQ(rec.iLocalPort, 0);
    rec = Read(MakeConnect("-1", "-5", "+7", "n"));
    EXPECT_EQ(rec.iNode, -1);
    EXPECT_EQ(rec.iRemotePort, -5);
    EXPECT_EQ(rec.iLocalPort, 7);
    rec = Read(MakeConnect(" 99999", "1", "2", "n"));
    EXPECT_EQ(rec.iNode, 9999); /* a leading blank takes a place of the five */
}

TEST(ClientRecord, ShortRecordsReadMissingBytesAsNul)
{
    std::string whole = MakeConnect("3", "194", "1234", "alice");
    ClientRecord rec = Read(whole.substr(0, 24));
    EXPECT_EQ(rec.kind, CLIENT_CONNECT);
    EXPECT_EQ(rec.iLocalPort, 1234);
    EXPECT_STREQ(rec.sName, "ali");
    rec = Read("C");
    EXPECT_EQ(rec.kind, CLIENT_CONNECT);
    EXPECT_EQ(rec.iNode, 0);
    EXPECT_STREQ(rec.sName, "");
    rec = Read(std::string("Q\0\0\0"
                           "42",
                           6));
    EXPECT_EQ(rec.kind, CLIENT_QUIT);
    EXPECT_EQ(rec.iNode, 42);
    EXPECT_STREQ(rec.sNodeText, "42");
}

TEST(ClientRecord, QuitKeepsItsNodeText)
{
    ClientRecord rec = Read(std::string("Qabc"
                                        "00003",
                                        9));
    EXPECT_EQ(rec.kind, CLIENT_QUIT);
    EXPECT_EQ(rec.iNode, 3);
    EXPECT_STREQ(rec.sNodeText, "00003");
    rec = Read(std::string("Q   "
                           "1234567",
                           11));
    EXPECT_STREQ(rec.sNodeText, "12345");
}

TEST(ClientRecord, OnlyCapitalCAndQAreKinds)
{
    for (const char *raw : {"c", "q", "X", "\x00", " C"})
        EXPECT_EQ(Read(std::string(raw, strlen(raw) ? strlen(raw) : 1)).kind, CLIENT_UNKNOWN)
            << raw;
    /* The sizes of C and Q are fixed with the records' layout and tried on
       the handler, which must close as soon as a record is whole. */
    EXPECT_EQ(ClientRecordSize('c'), 1);
}
