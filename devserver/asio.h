// Boost.Asio and Beast for the server. Boost 1.74's awaitable.hpp uses std::exchange without
// including <utility>, so <utility> must come first; include Boost only through this header.
#ifndef KORVO_DEVSERVER_ASIO_H
#define KORVO_DEVSERVER_ASIO_H

#include <utility>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#endif
