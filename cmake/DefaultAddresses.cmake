# Deployment addresses. The defaults are documentation-range addresses;
# a real deployment sets them at configure time.
set(VARDENO_DEFAULT_FILTERING_DNS "192.0.2.1" CACHE STRING "Filtering resolver address")
set(VARDENO_DEFAULT_SECOND_DNS "192.0.2.2" CACHE STRING "Second (unfiltered) resolver address")
set(VARDENO_DEFAULT_LOCAL_NETWORK_DNS "192.0.2.5" CACHE STRING "Local-network resolver address")
set(VARDENO_DEFAULT_POLICY_SERVER "192.0.2.3" CACHE STRING "Policy server address")
set(VARDENO_FIXED_SERVER_ADDRESS "192.0.2.4" CACHE STRING "Fixed server address of DnsServerSettings")
set(VARDENO_CAPTIVE_PORTAL_HOST "captive.vardeno.example" CACHE STRING "Host name of the captive-portal registration query")
set(VARDENO_API_HOST "https://api.vardeno.example" CACHE STRING "REST service of the user lookup")
set(VARDENO_PUBLIC_IP_NAME "myip.opendns.com" CACHE STRING "Name asked by the relay's public-address query")
set(VARDENO_PUBLIC_IP_RESOLVER "resolver1.opendns.com" CACHE STRING "Resolver asked by the relay's public-address query")
configure_file(${PROJECT_SOURCE_DIR}/cmake/DefaultAddresses.h.in ${PROJECT_BINARY_DIR}/generated/DefaultAddresses.h @ONLY)
include_directories(${PROJECT_BINARY_DIR}/generated)
