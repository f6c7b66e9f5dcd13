# Build-time configuration of the kit's service hosts.  The defaults are
# placeholders that resolve nowhere; tests and the demo hand the kit loopback
# addresses at start-up instead.
set(PELK_PRODUCTION_BASE_URL "https://api.pelk.invalid" CACHE STRING "REST base URL of the production service")
set(PELK_TEST_BASE_URL "https://test-api.pelk.invalid" CACHE STRING "REST base URL of the test service")
set(PELK_PRODUCTION_MQTT_HOST "mqtt.pelk.invalid" CACHE STRING "MQTT broker host of the production service")
set(PELK_TEST_MQTT_HOST "test-mqtt.pelk.invalid" CACHE STRING "MQTT broker host of the test service")

# The MQTT custom authorizer: one token value and a signature of it for each
# environment.  Secrets of the deployment, never logged; the placeholders sign
# nothing.
set(PELK_MQTT_TOKEN_VALUE "token.invalid" CACHE STRING "Token value sent to the MQTT custom authorizer")
set(PELK_PRODUCTION_MQTT_TOKEN_SIGNATURE "production-signature.invalid" CACHE STRING
  "Signature of the token value for the production authorizer")
set(PELK_TEST_MQTT_TOKEN_SIGNATURE "test-signature.invalid" CACHE STRING
  "Signature of the token value for the test authorizer")

set(PELK_GENERATED_INCLUDE_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/pelk_build_config.h.in
  ${PELK_GENERATED_INCLUDE_DIR}/pelk_build_config.h @ONLY)
