#include "Endpoints.h"

namespace ostral::devstack {

HttpResponse handleStorage(Server&, const HttpRequest&, std::string_view,
                           const std::optional<std::string>&) {
    return HttpResponse::json(
        404, {{"statusCode", "404"}, {"error", "not_found"}, {"message", "Not Found"}});
}

} // namespace ostral::devstack
