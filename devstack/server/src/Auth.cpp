#include "Endpoints.h"

namespace ostral::devstack {

HttpResponse handleAuth(Server&, const HttpRequest&, std::string_view) {
    return HttpResponse::json(404, {{"code", "not_found"}, {"message", "Not Found"}});
}

} // namespace ostral::devstack
