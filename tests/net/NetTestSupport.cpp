#include "NetTestSupport.h"

#include <boost/asio.hpp>

int FreePort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(
        ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}
