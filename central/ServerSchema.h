#pragma once

class TPgConnection;

// Makes sure the server's tables records, visits and sites are there with the columns and the
// unique keys the forward relies on. A missing table is created; one that exists is used as it
// is, without CREATE, so a role with only INSERT and SELECT forwards into an admin's tables.
// A table of another shape, or one without its unique key (every resend would double rows), is
// never altered: EServerError (NeedsPerson) says what differs.
void EnsureServerSchema(TPgConnection& Server);
