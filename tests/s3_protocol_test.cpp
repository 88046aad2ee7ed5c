// The texts the S3 client writes and reads without a store: the canonical
// path and query the signature covers, the names in url-encoded listings, and
// answers whose XML differs from store to store (namespaces, prefixes,
// encodings, errors inside a 200).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "s3/s3_addressing.h"
#include "s3/s3_encoding.h"
#include "s3/s3_xml.h"

namespace corvane::s3 {
namespace {

TEST(S3EncodingTest, PathsAndQueriesAreWrittenCanonically) {
  struct Case {
    std::string text;
    std::string inPath;
    std::string inQuery;
  };
  const Case cases[] = {
      {"AZaz09-._~", "AZaz09-._~", "AZaz09-._~"},
      {"a b+c", "a%20b%2Bc", "a%20b%2Bc"},
      {"dir/sub/file", "dir/sub/file", "dir%2Fsub%2Ffile"},
      {"100%", "100%25", "100%25"},
      {"=&?#", "%3D%26%3F%23", "%3D%26%3F%23"},
      {"\xC3\xA9", "%C3%A9", "%C3%A9"},  // é: upper-case hex, byte by byte
      {std::string("\x00\x7f\xff", 3), "%00%7F%FF", "%00%7F%FF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(uriEncode(c.text, true), c.inPath);
    EXPECT_EQ(uriEncode(c.text, false), c.inQuery);
  }
}

TEST(S3AddressingTest, BucketsGoInTheHostOnlyWhereThatWorks) {
  const std::string kTooLong(64, 'a');
  struct Case {
    S3Addressing addressing;
    const char* host;
    const char* bucket;
    bool pathStyle;
  };
  const Case cases[] = {
      {S3Addressing::automatic, "s3.eu-west-1.amazonaws.com", "my-bucket", false},
      {S3Addressing::automatic, "S3.CN-NORTH-1.AMAZONAWS.COM.CN", "b42", false},
      {S3Addressing::automatic, "s3.eu-west-1.amazonaws.com", "my.bucket", true},
      {S3Addressing::automatic, "s3.eu-west-1.amazonaws.com", "My_Bucket", true},
      {S3Addressing::automatic, "s3.eu-west-1.amazonaws.com", "-edge", true},
      {S3Addressing::automatic, "s3.eu-west-1.amazonaws.com", "ab", true},
      {S3Addressing::automatic, "s3.eu-west-1.amazonaws.com", kTooLong.c_str(), true},
      {S3Addressing::automatic, "127.0.0.1", "my-bucket", true},
      {S3Addressing::automatic, "store.example", "my-bucket", true},
      {S3Addressing::automatic, "amazonaws.com.example", "my-bucket", true},
      {S3Addressing::path, "s3.eu-west-1.amazonaws.com", "my-bucket", true},
      {S3Addressing::virtualHosted, "store.example", "my.bucket", false},
      {S3Addressing::virtualHosted, "store.example", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(addressingName(c.addressing)) + " " + c.host + " " + c.bucket);
    EXPECT_EQ(pathStyle(c.addressing, c.host, c.bucket), c.pathStyle);
  }
  for (const S3Addressing a :
       {S3Addressing::automatic, S3Addressing::path, S3Addressing::virtualHosted}) {
    EXPECT_EQ(addressingNamed(addressingName(a)), a);
  }
  EXPECT_FALSE(addressingNamed("Virtual").has_value());
}

TEST(S3EncodingTest, QueriesAreSortedWithValuelessParametersWrittenWithEquals) {
  EXPECT_EQ(canonicalQuery({}), "");
  EXPECT_EQ(canonicalQuery({{"versions", ""}}), "versions=");
  EXPECT_EQ(canonicalQuery({{"uploadId", "x/y z"}, {"partNumber", "2"}}),
            "partNumber=2&uploadId=x%2Fy%20z");
  // Sorted by the encoded names, so upper case comes before lower case.
  EXPECT_EQ(canonicalQuery({{"prefix", "a"},
                            {"list-type", "2"},
                            {"delimiter", "/"},
                            {"continuation-token", "1+2="},
                            {"max-keys", "1000"},
                            {"encoding-type", "url"},
                            {"Zed", ""}}),
            "Zed=&continuation-token=1%2B2%3D&delimiter=%2F&encoding-type=url&list-type=2&"
            "max-keys=1000&prefix=a");
}

TEST(S3EncodingTest, ListedNamesAreDecoded) {
  EXPECT_EQ(decodeListedName("a%20b"), "a b");
  EXPECT_EQ(decodeListedName("a+b"), "a b");  // a space, as form encoding writes it
  EXPECT_EQ(decodeListedName("a%2Bb"), "a+b");
  EXPECT_EQ(decodeListedName("%c3%a9t%C3%A9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(decodeListedName("x%01y"), std::string("x\x01y"));
  EXPECT_EQ(decodeListedName("plain~name"), "plain~name");
  for (const char* broken : {"a%", "a%2", "a%zz", "%g0"}) {
    EXPECT_FALSE(decodeListedName(broken).has_value()) << broken;
  }
}

TEST(S3EncodingTest, EtagsTakeOneForm) {
  EXPECT_EQ(quotedEtag("abc"), "\"abc\"");
  EXPECT_EQ(quotedEtag("\"abc-3\""), "\"abc-3\"");
  EXPECT_EQ(quotedEtag(""), "");
  EXPECT_EQ(bareEtag("\"abc\""), "abc");
  EXPECT_EQ(bareEtag("abc"), "abc");
  EXPECT_EQ(bareEtag("\""), "\"");
}

TEST(S3XmlTest, ListPagesAreReadWhateverTheNamespace) {
  // A prefixed namespace, url-encoded names, a bare ETag and a truncated page.
  const std::string page =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<s3:ListBucketResult xmlns:s3=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
      "<s3:Name>b</s3:Name><s3:EncodingType>url</s3:EncodingType>"
      "<s3:IsTruncated>true</s3:IsTruncated>"
      "<s3:NextContinuationToken>tok/en+=</s3:NextContinuationToken>"
      "<s3:Contents><s3:Key>a%20b+c%2B</s3:Key><s3:Size>12</s3:Size>"
      "<s3:ETag>9b2c</s3:ETag><s3:LastModified>2026-12-10T13:49:24.010Z</s3:LastModified>"
      "</s3:Contents>"
      "<s3:Contents><s3:Key>%C3%A9</s3:Key><s3:Size>0</s3:Size>"
      "<s3:ETag>&quot;d41d&quot;</s3:ETag><s3:LastModified>2026-01-02T03:04:05Z</s3:LastModified>"
      "</s3:Contents>"
      "<s3:CommonPrefixes><s3:Prefix>dir%2F</s3:Prefix></s3:CommonPrefixes>"
      "</s3:ListBucketResult>";
  const S3ListPage read = readListPage(page);
  ASSERT_EQ(read.objects.size(), 2u);
  EXPECT_EQ(read.objects[0].key, "a b c+");
  EXPECT_EQ(read.objects[0].size, 12u);
  EXPECT_EQ(read.objects[0].etag, "\"9b2c\"");
  EXPECT_EQ(platform::formatInternetDateTimeNanos(read.objects[0].lastModified),
            "2026-12-10T13:49:24.010000000Z");
  EXPECT_EQ(read.objects[1].key, "\xC3\xA9");
  EXPECT_EQ(read.objects[1].etag, "\"d41d\"");
  EXPECT_EQ(read.commonPrefixes, std::vector<std::string>{"dir/"});
  EXPECT_EQ(read.nextContinuationToken, "tok/en+=");
}

TEST(S3XmlTest, NamesAreDecodedOnlyWhenTheStoreSaysItEncodedThem) {
  const S3ListPage read = readListPage(
      "<ListBucketResult><IsTruncated>false</IsTruncated>"
      "<Contents><Key>100%25 a+b</Key><Size>1</Size><ETag>\"e\"</ETag>"
      "<LastModified>2026-01-02T03:04:05.5Z</LastModified></Contents></ListBucketResult>");
  ASSERT_EQ(read.objects.size(), 1u);
  EXPECT_EQ(read.objects[0].key, "100%25 a+b");
  EXPECT_TRUE(read.nextContinuationToken.empty());
}

TEST(S3XmlTest, AnswersOfTheWrongShapeAreRefused) {
  const char* broken[] = {
      "",
      "not xml",
      "<Error><Code>NoSuchBucket</Code></Error>",
      // Truncated without a token: the next page could never be asked for.
      "<ListBucketResult><IsTruncated>true</IsTruncated></ListBucketResult>",
      "<ListBucketResult><Contents><Key>k</Key><Size>12x</Size>"
      "<LastModified>2026-01-02T03:04:05Z</LastModified></Contents></ListBucketResult>",
      "<ListBucketResult><Contents><Key>k</Key><Size>1</Size>"
      "<LastModified>yesterday</LastModified></Contents></ListBucketResult>",
      "<ListBucketResult><EncodingType>url</EncodingType><Contents><Key>a%zz</Key>"
      "<Size>1</Size><LastModified>2026-01-02T03:04:05Z</LastModified></Contents>"
      "</ListBucketResult>",
  };
  for (const char* body : broken) {
    EXPECT_THROW(readListPage(body), S3XmlError) << body;
  }
}

TEST(S3XmlTest, ErrorsAndResultsAreRead) {
  const auto error = readErrorAnswer(
      "<?xml version=\"1.0\"?><Error><Code>SlowDown</Code>"
      "<Message>Please reduce your request rate.</Message><RequestId>1</RequestId></Error>");
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, "SlowDown");
  EXPECT_EQ(error->message, "Please reduce your request rate.");
  EXPECT_FALSE(readErrorAnswer("").has_value());
  EXPECT_FALSE(readErrorAnswer("<CopyObjectResult/>").has_value());
  EXPECT_FALSE(readErrorAnswer("{\"message\": \"json\"}").has_value());

  EXPECT_EQ(readVersioningStatus("<VersioningConfiguration xmlns=\"x\"><Status>Enabled</Status>"
                                 "</VersioningConfiguration>"),
            "Enabled");
  EXPECT_EQ(readVersioningStatus("<VersioningConfiguration/>"), "");
  EXPECT_EQ(readUploadId("<InitiateMultipartUploadResult><UploadId>2~abc</UploadId>"
                         "</InitiateMultipartUploadResult>"),
            "2~abc");
  EXPECT_THROW(readUploadId("<InitiateMultipartUploadResult/>"), S3XmlError);

  const XmlResultTag copy = readResultTag(
      "<CopyObjectResult><LastModified>2026-12-10T14:10:06.944Z</LastModified>"
      "<ETag>d60c</ETag></CopyObjectResult>",
      "CopyObjectResult");
  EXPECT_EQ(copy.etag, "\"d60c\"");
  ASSERT_TRUE(copy.lastModified.has_value());
  // A completion without ETag, as some stores send it.
  EXPECT_EQ(readResultTag("<CompleteMultipartUploadResult><ETag></ETag>"
                          "</CompleteMultipartUploadResult>",
                          "CompleteMultipartUploadResult")
                .etag,
            "");
}

TEST(S3XmlTest, BatchDeleteFailuresNameTheirKeys) {
  const auto failures = readDeleteFailures(
      "<DeleteResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
      "<Deleted><Key>gone</Key></Deleted>"
      "<Error><Key>locked</Key><Code>AccessDenied</Code><Message>Access Denied</Message></Error>"
      "<Error><Key>a &amp; b</Key><Code>InternalError</Code><Message></Message></Error>"
      "</DeleteResult>");
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].key, "locked");
  EXPECT_EQ(failures[0].code, "AccessDenied");
  EXPECT_EQ(failures[0].message, "Access Denied");
  EXPECT_EQ(failures[1].key, "a & b");
}

TEST(S3XmlTest, RequestBodiesCarryKeysEscaped) {
  const std::string body = writeDeleteBody({"a & b", "<c>", "quote\"d"});
  EXPECT_NE(body.find("<Quiet>true</Quiet>"), std::string::npos) << body;
  EXPECT_NE(body.find("<Key>a &amp; b</Key>"), std::string::npos) << body;
  EXPECT_NE(body.find("<Key>&lt;c&gt;</Key>"), std::string::npos) << body;
  EXPECT_EQ(body.find("<c>"), std::string::npos) << body;

  const std::string complete = writeCompleteBody({{1, "\"e1\""}, {2, "\"e2\""}});
  EXPECT_NE(complete.find("<Part><PartNumber>1</PartNumber><ETag>\"e1\"</ETag></Part>"
                          "<Part><PartNumber>2</PartNumber>"),
            std::string::npos)
      << complete;

  EXPECT_TRUE(xmlCanCarry("tab\tand\nline"));
  EXPECT_FALSE(xmlCanCarry(std::string("nul\0", 4)));
  EXPECT_FALSE(xmlCanCarry("carriage\rreturn"));
  EXPECT_FALSE(xmlCanCarry("\x01"));
}

TEST(S3XmlTest, IsoTimesKeepTheirFraction) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"2026-12-10T13:49:24Z", "2026-12-10T13:49:24.000000000Z"},
      {"2026-12-10T13:49:24.1Z", "2026-12-10T13:49:24.100000000Z"},
      {"2026-12-10T13:49:24.123456789Z", "2026-12-10T13:49:24.123456789Z"},
      {"2026-12-10T13:49:24.010+01:00", "2026-12-10T12:49:24.010000000Z"},
  };
  for (const Case& c : cases) {
    const auto time = parseIsoTime(c.text);
    ASSERT_TRUE(time.has_value()) << c.text;
    EXPECT_EQ(platform::formatInternetDateTimeNanos(*time), c.expected);
  }
  for (const char* bad : {"", "2026-12-10", "2026-12-10T13:49:24.Z", "2026-13-10T13:49:24Z"}) {
    EXPECT_FALSE(parseIsoTime(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace corvane::s3
