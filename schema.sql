-- Creates an empty logs.mdb:  sqlite3 logs.mdb < schema.sql
CREATE TABLE readers (ipaddr TEXT, ipport TEXT, setclk INTEGER, download INTEGER, clrafter INTEGER);
CREATE TABLE records (RECTIME TEXT, CARDNO INTEGER, READER TEXT, MODE INTEGER);
CREATE INDEX records_time_card ON records (RECTIME, CARDNO);
