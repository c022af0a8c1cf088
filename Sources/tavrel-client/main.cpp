// tavrel-client: drives a serving tavrel-helper over its socket from the command line.
// Exit statuses: 0 done, 1 the helper refused or failed (its message and status on standard
// error), 2 a command line the client cannot use.

#include <iostream>
#include <string>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "tavrel-client/ClientArguments.hpp"
#include "tavrel-client/ClientRun.hpp"

int main(int argc, char** argv) {
    using namespace tavrel;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        const auto invocation = client::ClientArguments::parse(arguments);
        client::run(invocation, std::cout, std::cerr);
        std::cout.flush();
        return std::cout ? 0 : 1;
    } catch (const client::UsageError& error) {
        std::cerr << "tavrel-client: " << error.what() << '\n'
                  << client::ClientArguments::usage << '\n';
        return 2;
    } catch (const HelperFailure& failure) {
        std::cerr << "tavrel-client: " << failure.message() << " (status " << failure.status()
                  << ")\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "tavrel-client: " << error.what() << '\n';
        return 1;
    }
}
