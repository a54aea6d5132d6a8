// The output redirect and the channel start name one port: a request for the
// path of a channel's HTTP or HTML5 output goes to the port that the start
// writes into that output's address.
#include "fixtures/channel_docs.h"
#include "fixtures/channel_fixture.h"
#include "tovu_cgi_internal.h"

using namespace chantest;

namespace {

class CgiRedirect : public ChannelTest {};

TEST_F(CgiRedirect, GoesToThePortTheStartGaveTheOutput)
{
    struct Case {
        const char *httpPort;  // as the document writes it
        const char *format;
        const char *url;
        const char *served;    // the address the start hands over, its port included
    } cases[] = {
        {"9527", "http", "http://10.1.2.3:1234/live", "http://10.1.2.3:9530"},
        {"\"9600\"", "html5", "http://10.1.2.3:8000/live", "http://10.1.2.3:9603"},
        {"2147483647", "httpts", "http://10.1.2.3:1/live", "http://10.1.2.3:2147483650"},
    };
    capture();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        calls().clear();
        // the output is channel 3's (index 2)
        config(doc(std::string("\"httpPort\":") + c.httpPort,
                   plainChan("a") + "," + plainChan("b") + "," +
                       chan(src("file", "/media/c.ts"), tgt(c.format, c.url))));
        ASSERT_EQ(tovuStartChannel(2), 0);
        ASSERT_EQ(calls().size(), 1u);
        EXPECT_EQ(calls()[0].targets[0][0].url, Text(c.served));
        std::string location;
        ASSERT_TRUE(tovuCGIRedirectLocation("/live", location));
        EXPECT_EQ(location, c.served);
    }
}

} // namespace
