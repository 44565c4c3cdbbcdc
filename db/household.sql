-- A sample household: four users, all offline, six channels.
--   anna   channels ct1, ct2     last ct2    picture anna.jpg
--   peter  channels ct2, ct3     last ct3    picture peter.jpg
--   eva    channels nova, ct1    last nova   picture eva.jpg
--   tom    channels prima        no last     no picture
SET NAMES utf8mb4;
INSERT INTO states (id, state) VALUES (1, 'online'), (2, 'offline');
INSERT INTO users (id, name) VALUES (1, 'anna'), (2, 'peter'), (3, 'eva'), (4, 'tom');
INSERT INTO channels (id, name) VALUES
  (1, 'ct1'), (2, 'ct2'), (3, 'ct3'), (4, 'nova'), (5, 'prima'), (6, 'joj');
INSERT INTO pictures (id, path) VALUES (1, 'anna.jpg'), (2, 'peter.jpg'), (3, 'eva.jpg');
INSERT INTO userHasState (idu, ids) VALUES (1, 2), (2, 2), (3, 2), (4, 2);
INSERT INTO userHasLast (idu, idc) VALUES (1, 2), (2, 3), (3, 4), (4, NULL);
INSERT INTO userHasChannel (id, idu, idc) VALUES
  (1, 1, 1), (2, 1, 2), (3, 2, 2), (4, 2, 3), (5, 3, 4), (6, 3, 1), (7, 4, 5);
INSERT INTO userHasPicture (idu, idp) VALUES (1, 1), (2, 2), (3, 3);
