// Boost.JSON and Boost.URL for the Windows build, which has no compiled Boost: their sources,
// compiled once here.
#include <boost/json/src.hpp>
#include <boost/url/src.hpp>
