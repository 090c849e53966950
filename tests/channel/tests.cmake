# The driver channel's request/reply exchange, shared by the Linux socket
# and the Windows pipe transports.
kv318_add_test(channel_client_test SOURCES channel/channel_client_test.cpp)
