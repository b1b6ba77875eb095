# Tests against a PostgreSQL server: one private server per test run, the
# fixture "pg" (tests/pg/fixture.sh). Tests that need it get
# ${KIT_PG_TEST_PROPERTIES}; they find the server through KIT_PG_STATE.
set(KIT_PG_STATE "${CMAKE_BINARY_DIR}/pg")
add_test(NAME pg_setup COMMAND ${PROJECT_SOURCE_DIR}/tests/pg/fixture.sh setup ${KIT_PG_STATE})
add_test(NAME pg_cleanup COMMAND ${PROJECT_SOURCE_DIR}/tests/pg/fixture.sh cleanup ${KIT_PG_STATE})
set_tests_properties(pg_setup PROPERTIES FIXTURES_SETUP pg TIMEOUT 300)
set_tests_properties(pg_cleanup PROPERTIES FIXTURES_CLEANUP pg TIMEOUT 120)
set(KIT_PG_TEST_PROPERTIES FIXTURES_REQUIRED pg ENVIRONMENT KIT_PG_STATE=${KIT_PG_STATE})
