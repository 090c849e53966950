# kv318-server and its clients: the wire format on every platform.
kv318_add_test(remote_wire_test SOURCES remote/wire_test.cpp LIBS kv318_remote_wire kv318_protocol)
# The client's logic against a fake server behind a scripted link.
kv318_add_test(remote_client_test SOURCES remote/remote_client_test.cpp LIBS kv318_remote_logic)
