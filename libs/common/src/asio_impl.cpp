// The one translation unit that compiles Asio's implementation; every other
// file sees BOOST_ASIO_SEPARATE_COMPILATION and only the declarations.
#include <boost/asio/impl/src.hpp>
