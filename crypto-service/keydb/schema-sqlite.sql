-- The key database on the SQLite ODBC driver (the embedded default).
-- Every name is quoted and spelled as the crypto service's statements spell it.
-- Serial and key-set numbers are unsigned 32-bit; times are text "yyyy-mm-dd hh:mm:ss",
-- which the driver reads as timestamps and which sorts and compares to the second.

CREATE TABLE "Seals" (
  "SealID" INTEGER PRIMARY KEY AUTOINCREMENT,
  "SerialNumber" BIGINT NOT NULL UNIQUE CHECK ("SerialNumber" BETWEEN 0 AND 4294967295)
);

CREATE TABLE "Keys" (
  "KeyID" INTEGER PRIMARY KEY AUTOINCREMENT,
  "SealID" INTEGER NOT NULL REFERENCES "Seals" ("SealID"),
  "KeysetNumber" BIGINT NOT NULL CHECK ("KeysetNumber" BETWEEN 0 AND 4294967295),
  "KeysetTime" TIMESTAMP NOT NULL,
  "Authentication" VARCHAR(32) NOT NULL,
  "Authorization" VARCHAR(32) NOT NULL,
  "Identification" VARCHAR(32) NOT NULL,
  "Encryption" VARCHAR(32) NOT NULL,
  "Quarel" VARCHAR(16) NOT NULL
);
CREATE INDEX "KeysByNumberAndTime" ON "Keys" ("KeysetNumber", "KeysetTime");
CREATE INDEX "KeysBySeal" ON "Keys" ("SealID", "KeysetTime");

CREATE TABLE "OpDivs" (
  "OpDivID" INTEGER PRIMARY KEY,
  "DivisionName" VARCHAR(127)
);

CREATE TABLE "Facilities" (
  "FacilityID" INTEGER PRIMARY KEY,
  "FacilityDesignator" VARCHAR(31),
  "FacilityName" VARCHAR(127)
);

CREATE TABLE "SealRequests" (
  "SealID" INTEGER NOT NULL REFERENCES "Seals" ("SealID"),
  "ReqDateTime" TIMESTAMP NOT NULL,
  "FacilityID" INTEGER NOT NULL REFERENCES "Facilities" ("FacilityID"),
  "OpDivID" INTEGER NOT NULL REFERENCES "OpDivs" ("OpDivID")
);
CREATE INDEX "RequestsBySeal" ON "SealRequests" ("SealID", "ReqDateTime");

-- One row per token: a second insert for the same token must not add a second row.
CREATE TABLE "Tokens" (
  "SerialNumber" BIGINT NOT NULL PRIMARY KEY CHECK ("SerialNumber" BETWEEN 0 AND 4294967295),
  "Passphrase" VARCHAR(127),
  "BSL" VARCHAR(64),
  "Key" VARCHAR(32),
  "MAC" VARCHAR(32)
);
