#include "service/store/postgresql_pool.h"

#include <exception>

namespace pellucor::service {
namespace {

// libpq's messages end with a line break, and may hold several lines.
std::string OneLine(const char* message) {
  std::string out;
  for (const char* p = message; *p; ++p) out += (*p == '\n' || *p == '\r') ? ' ' : *p;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out.empty() ? "database error" : out;
}

void SetError(std::string* error, const std::exception& e) {
  if (error) *error = OneLine(e.what());
}

}  // namespace

std::string ConnectionUri(const std::string& uri) {
  const size_t query = uri.find('?');
  std::string out = uri;
  auto add = [&](const std::string& key, const std::string& value) {
    if (query != std::string::npos && (uri.find("?" + key + "=", query) != std::string::npos ||
                                       uri.find("&" + key + "=", query) != std::string::npos))
      return;
    out += (out.find('?') == std::string::npos ? "?" : "&") + key + "=" + value;
  };
  add("connect_timeout", "5");
  add("application_name", "pellucor-service");
  return out;
}

PostgresqlPool::PostgresqlPool(std::string uri, int size)
    : uri_(ConnectionUri(uri)), size_(size < 1 ? 1 : size) {}

PostgresqlPool::~PostgresqlPool() = default;

std::unique_ptr<pqxx::connection> PostgresqlPool::Connect(std::string* error) {
  try {
    return std::make_unique<pqxx::connection>(uri_);
  } catch (const std::exception& e) {
    SetError(error, e);
    return nullptr;
  }
}

std::unique_ptr<pqxx::connection> PostgresqlPool::Take(std::string* error) {
  std::unique_lock lock(mutex_);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (idle_.empty() && open_ >= size_) {
    if (freed_.wait_until(lock, deadline) == std::cv_status::timeout && idle_.empty() &&
        open_ >= size_) {
      if (error)
        *error = "all " + std::to_string(size_) + " database connections stayed busy for 10 s";
      return nullptr;
    }
  }
  if (!idle_.empty()) {
    std::unique_ptr<pqxx::connection> connection = std::move(idle_.back());
    idle_.pop_back();
    return connection;
  }
  if (Clock::now() - failedAt_ < std::chrono::seconds(1)) {
    if (error) *error = failure_;
    return nullptr;
  }
  ++open_;
  lock.unlock();
  std::unique_ptr<pqxx::connection> connection = Connect(error);
  if (!connection) {
    lock.lock();
    --open_;
    failedAt_ = Clock::now();
    failure_ = error ? *error : "cannot connect to the database";
    freed_.notify_one();
  }
  return connection;
}

void PostgresqlPool::Give(std::unique_ptr<pqxx::connection> connection) {
  std::lock_guard lock(mutex_);
  if (connection && connection->is_open()) {
    idle_.push_back(std::move(connection));
  } else {
    --open_;
  }
  freed_.notify_one();
}

bool PostgresqlPool::Run(const std::function<void(pqxx::work&)>& work, std::string* error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::unique_ptr<pqxx::connection> connection = Take(error);
    if (!connection) return false;
    try {
      pqxx::work transaction(*connection);
      work(transaction);
      transaction.commit();
      Give(std::move(connection));
      return true;
    } catch (const pqxx::broken_connection& e) {
      // The server went away or restarted: a new connection, once.
      SetError(error, e);
      Give(nullptr);
    } catch (const pqxx::in_doubt_error& e) {
      // The commit may or may not have happened; the work is safe to repeat.
      SetError(error, e);
      Give(nullptr);
    } catch (const std::exception& e) {
      SetError(error, e);
      Give(std::move(connection));
      return false;
    }
  }
  return false;
}

}  // namespace pellucor::service
