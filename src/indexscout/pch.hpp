// Precompiled for the indexscout library, its command-line tool and its tests: the coroutine
// and pool parts of Asio are the expensive includes.
#pragma once
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>
#include <spdlog/spdlog.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>
