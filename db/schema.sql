-- Presence database of the daemon. The daemon never creates tables or rows:
-- provision this schema and a household (see household.sql) beforehand.
SET NAMES utf8mb4;
SET FOREIGN_KEY_CHECKS = 0;
DROP TABLE IF EXISTS userHasPicture, userHasChannel, userHasLast, userHasState,
                     pictures, channels, states, users, televisions;
SET FOREIGN_KEY_CHECKS = 1;

-- The daemon holds user and channel names in 19 bytes and picture file names
-- in 29. VARCHAR counts characters, so the byte limits are checked as well: a
-- name the daemon would have to cut could never match its own row.
--
-- Names compare byte for byte, as the daemon compares them in its own lists:
-- utf8mb4_nopad_bin, since utf8mb4_bin ignores trailing blanks ('anna ' would
-- find anna's row while the daemon's online list does not hold it).

CREATE TABLE users (
  id   INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(19) NOT NULL,
  UNIQUE KEY users_name (name),
  CONSTRAINT users_name_bytes CHECK (LENGTH(name) <= 19)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE states (
  id    INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  state VARCHAR(29) NOT NULL,
  UNIQUE KEY states_state (state)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE channels (
  id   INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(19) NOT NULL,
  UNIQUE KEY channels_name (name),
  CONSTRAINT channels_name_bytes CHECK (LENGTH(name) <= 19)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE pictures (
  id   INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  path VARCHAR(29) NOT NULL,
  CONSTRAINT pictures_path_bytes CHECK (LENGTH(path) <= 29)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

-- Exactly one state row per user; a state that does not exist is refused
-- rather than leaving the user in no state at all. place is the name of the
-- television at which the user was last recognised or joined (NULL: none
-- since the column came), so that a television's shutdown sets offline only
-- the users it saw. It is invisible: a household's INSERT ... VALUES (idu,
-- ids) written for the two columns goes on working.
CREATE TABLE userHasState (
  idu   INT NOT NULL PRIMARY KEY,
  ids   INT NOT NULL,
  place VARCHAR(64) NULL COLLATE utf8mb4_nopad_bin INVISIBLE,
  CONSTRAINT uhs_user  FOREIGN KEY (idu) REFERENCES users (id) ON DELETE CASCADE,
  CONSTRAINT uhs_state FOREIGN KEY (ids) REFERENCES states (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Exactly one row per user; idc is NULL while the user has watched nothing.
CREATE TABLE userHasLast (
  idu INT NOT NULL PRIMARY KEY,
  idc INT NULL,
  CONSTRAINT uhl_user    FOREIGN KEY (idu) REFERENCES users (id) ON DELETE CASCADE,
  CONSTRAINT uhl_channel FOREIGN KEY (idc) REFERENCES channels (id) ON DELETE SET NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Ascending id is the order in which a user's channels are listed.
CREATE TABLE userHasChannel (
  id  INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  idu INT NOT NULL,
  idc INT NOT NULL,
  UNIQUE KEY uhc_pair (idu, idc),
  CONSTRAINT uhc_user    FOREIGN KEY (idu) REFERENCES users (id) ON DELETE CASCADE,
  CONSTRAINT uhc_channel FOREIGN KEY (idc) REFERENCES channels (id) ON DELETE CASCADE
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- At most one picture per user.
CREATE TABLE userHasPicture (
  idu INT NOT NULL PRIMARY KEY,
  idp INT NOT NULL,
  CONSTRAINT uhp_user    FOREIGN KEY (idu) REFERENCES users (id) ON DELETE CASCADE,
  CONSTRAINT uhp_picture FOREIGN KEY (idp) REFERENCES pictures (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Each television's sign of life, by the server's clock that every
-- television shares: a television silent for longer than another's
-- away_after has its users set offline by that other. The topic prefixes it
-- publishes under on MQTT ('' for none) are what --retire clears.
CREATE TABLE televisions (
  name        VARCHAR(64) NOT NULL PRIMARY KEY,
  seen        DATETIME(3) NOT NULL,
  mqtt_prefix TEXT NOT NULL DEFAULT '',
  discovery   TEXT NOT NULL DEFAULT ''
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
