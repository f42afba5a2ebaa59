#pragma once

#include <functional>
#include <optional>
#include <type_traits>

// How the window reaches a server that may live on another thread: every
// read and command runs on the server's thread while the window waits for
// it, and reads come back as copies. Without a runner the server lives on
// the window's own thread and everything runs in place.
class ServerAccess
{
public:
    using Runner = std::function<void(const std::function<void()>& work)>;

    ServerAccess() = default;
    explicit ServerAccess(Runner runner) : runner_(std::move(runner)) {}

    template <typename Work> std::invoke_result_t<Work&> operator()(Work&& work) const
    {
        using Result = std::invoke_result_t<Work&>;
        if constexpr (std::is_void_v<Result>) {
            run(work);
        } else {
            std::optional<Result> result;
            run([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

private:
    void run(const std::function<void()>& work) const
    {
        if (runner_)
            runner_(work);
        else
            work();
    }

    Runner runner_;
};
