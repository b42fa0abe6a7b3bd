// The one unit that compiles Asio's and Boost.URL's implementations for the whole program.
#include <boost/asio/impl/src.hpp>
#include <boost/url/src.hpp>
