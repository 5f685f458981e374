# The quick check that a reply arrived whole, against the parser.
quorvellan_add_test(reply_reassembly_test SOURCES messages/reply_reassembly_test.cpp LIBS quorvellan_messages)
