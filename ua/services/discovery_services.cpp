// Discovery services: GetEndpoints and FindServers.
#include "ua/engine/engine.h"

namespace qora::ua {

std::string Engine::EndpointUrlFor(const Connection& c, const std::string& requested) const {
    if (!requested.empty()) return requested;
    if (!c.endpointUrl.empty()) return c.endpointUrl;
    return "opc.tcp://" + (config_.host.empty() ? std::string("localhost") : config_.host) + ":" +
           std::to_string(port_);
}

ApplicationDescription Engine::Application(const std::string& url) const {
    return {config_.applicationUri, config_.productUri, config_.applicationName, {url}};
}

Reply<GetEndpointsResponse> Engine::ServiceGetEndpoints(ServiceContext& ctx, const GetEndpointsRequest& r) {
    const bool profileMatches =
        r.profileUris.empty() ||
        std::find(r.profileUris.begin(), r.profileUris.end(), TransportProfileUri()) != r.profileUris.end();
    GetEndpointsResponse out;
    if (profileMatches) out.endpoints = Endpoints(EndpointUrlFor(ctx.channel, r.endpointUrl));
    return out;
}

Reply<FindServersResponse> Engine::ServiceFindServers(ServiceContext& ctx, const FindServersRequest& r) {
    const bool uriMatches = r.serverUris.empty() || std::find(r.serverUris.begin(), r.serverUris.end(),
                                                              config_.applicationUri) != r.serverUris.end();
    FindServersResponse out;
    if (uriMatches) out.servers.push_back(Application(EndpointUrlFor(ctx.channel, r.endpointUrl)));
    return out;
}

}  // namespace qora::ua
